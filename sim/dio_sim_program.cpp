#include "dio_sim_program.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "dio_sim_error.h"
#include "dio_sim_fd.h"

namespace dio_sim {

namespace {

// The kernel follows at most a few #! levels; so does dio-sim.
constexpr int kMaxInterpreterDepth = 4;
constexpr size_t kHeadSize = 256;

[[noreturn]] void Refuse(const std::string &path, const std::string &why) {
  throw ToolError(kExitUsage, "run: " + Quoted(path) + " " + why);
}

[[noreturn]] void CannotRun(const std::string &path, const std::string &why) {
  throw ToolError(kExitCannotRun, "run: cannot run " + Quoted(path) + ": " + why);
}

std::vector<std::string> SearchPath() {
  const char *value = std::getenv("PATH");
  std::string path = value != nullptr ? value : "/usr/local/bin:/usr/bin:/bin";
  std::vector<std::string> folders;
  std::stringstream stream(path);
  for (std::string folder; std::getline(stream, folder, ':');)
    folders.push_back(folder.empty() ? "." : folder);
  if (!path.empty() && path.back() == ':') folders.push_back(".");
  return folders;
}

bool IsRegularFile(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads the start of the file: enough for an ELF header or a #! line.
std::string ReadHead(const std::string &path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) CannotRun(path, ErrnoText(errno));
  char buffer[kHeadSize];
  const ssize_t length = pread(fd.get(), buffer, sizeof buffer, 0);
  if (length < 0) CannotRun(path, ErrnoText(errno));
  return std::string(buffer, static_cast<size_t>(length));
}

void RefuseRaisedPrivileges(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) CannotRun(path, ErrnoText(errno));
  const char *ignored = ": the loader ignores LD_PRELOAD for such a program, which would then "
                        "run without the simulated board; run a copy without ";
  if ((st.st_mode & S_ISUID) != 0)
    Refuse(path, std::string("is set-user-ID") + ignored + "that bit");
  if ((st.st_mode & S_ISGID) != 0 && (st.st_mode & S_IXGRP) != 0)
    Refuse(path, std::string("is set-group-ID") + ignored + "that bit");
  if (getxattr(path.c_str(), "security.capability", nullptr, 0) >= 0)
    Refuse(path, std::string("has file capabilities (security.capability)") + ignored +
                     "them (setcap -r)");
}

template <typename Header, typename ProgramHeader>
bool HasInterpreter(const std::string &path, const Header &header) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) CannotRun(path, ErrnoText(errno));
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ProgramHeader entry;
    const off_t at = static_cast<off_t>(header.e_phoff + uint64_t{i} * header.e_phentsize);
    if (pread(fd.get(), &entry, sizeof entry, at) != static_cast<ssize_t>(sizeof entry))
      CannotRun(path, "its ELF program headers are cut short");
    if (entry.p_type == PT_INTERP) return true;
  }
  return false;
}

template <typename Header, typename ProgramHeader>
int ElfWordSize(const std::string &path, const std::string &head, int bits, uint16_t machine) {
  if (head.size() < sizeof(Header)) CannotRun(path, "its ELF header is cut short");
  Header header;
  std::memcpy(&header, head.data(), sizeof header);
  if (header.e_machine != machine)
    Refuse(path, "is a " + std::to_string(bits) + "-bit program for another machine (ELF machine " +
                     std::to_string(header.e_machine) + "), not for x86");
  if (header.e_phentsize < sizeof(ProgramHeader))
    CannotRun(path, "its ELF program headers are malformed");
  if (!HasInterpreter<Header, ProgramHeader>(path, header))
    Refuse(path,
           "is statically linked: the simulated board is a preload, which only dynamically "
           "linked programs load, so its opens of /dev/mem would reach the real device; "
           "link it dynamically");
  return bits;
}

int InspectElf(const std::string &path, const std::string &head) {
  RefuseRaisedPrivileges(path);
  if (head.size() <= EI_CLASS) CannotRun(path, "its ELF header is cut short");
  if (head[EI_CLASS] == ELFCLASS64) return ElfWordSize<Elf64_Ehdr, Elf64_Phdr>(path, head, 64, EM_X86_64);
  if (head[EI_CLASS] == ELFCLASS32) return ElfWordSize<Elf32_Ehdr, Elf32_Phdr>(path, head, 32, EM_386);
  CannotRun(path, "its ELF class is unknown");
}

// The interpreter of a #! line: the first word after "#!".
std::string Interpreter(const std::string &path, const std::string &head) {
  const std::string line = head.substr(2, head.find('\n') - 2);
  const auto start = line.find_first_not_of(" \t");
  if (start == std::string::npos) CannotRun(path, "its #! line names no interpreter");
  return line.substr(start, line.find_first_of(" \t", start) - start);
}

int WordSizeAt(const std::string &path, int depth) {
  const std::string head = ReadHead(path);
  if (head.compare(0, SELFMAG, ELFMAG) == 0) return InspectElf(path, head);
  if (head.compare(0, 2, "#!") != 0) CannotRun(path, "it is neither an ELF program nor a #! script");
  if (depth == kMaxInterpreterDepth) CannotRun(path, "too many #! interpreters in a row");
  const std::string interpreter = Interpreter(path, head);
  // env starts another program, which dio-sim cannot look at from here: a
  // static one would run with no board. Asking for it by name works.
  if (interpreter.size() >= 4 && interpreter.compare(interpreter.size() - 4, 4, "/env") == 0)
    Refuse(path, "is started by env (its #! line), which may run a program the board "
                 "cannot reach; run its interpreter by name: dio-sim run -- INTERPRETER " +
                     path);
  return WordSizeAt(interpreter, depth + 1);
}

}  // namespace

std::string ResolveCommand(const std::string &word) {
  if (word.find('/') != std::string::npos) {
    if (access(word.c_str(), F_OK) != 0)
      throw ToolError(kExitNotFound, "run: no program " + Quoted(word) + ": " + ErrnoText(errno));
    if (!IsRegularFile(word)) CannotRun(word, "it is not a file");
    if (access(word.c_str(), X_OK) != 0) CannotRun(word, ErrnoText(errno));
    return word;
  }
  std::string not_executable;
  for (const std::string &folder : SearchPath()) {
    const std::string candidate = folder + "/" + word;
    if (!IsRegularFile(candidate)) continue;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (not_executable.empty()) not_executable = candidate;
  }
  if (!not_executable.empty()) CannotRun(not_executable, "it is not executable");
  throw ToolError(kExitNotFound, "run: no program " + Quoted(word) + " on PATH");
}

int ContainableWordSize(const std::string &path) { return WordSizeAt(path, 0); }

}  // namespace dio_sim
