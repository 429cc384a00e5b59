#include "dio_sim_preload.h"

#include "dio_sim_error.h"
#include "dio_sim_paths.h"

namespace dio_sim {

namespace {

const char kLibrary[] = "libvarnik_dio_sim.so";
const char kFolder[] = "varnik_dio/";
constexpr int kOwnWordSize = static_cast<int>(sizeof(void *) * 8);

// Installed: PREFIX/bin/dio-sim and each word size's library in a folder
// of its own (out of the loader's search path) below where that size's
// loader expands $LIB. Debian's 64-bit loader expands it to
// lib/x86_64-linux-gnu; its 32-bit loader to lib/i386-linux-gnu, or to
// lib32 where the 32-bit libc is the multilib one (libc6-i386).
struct InstalledLibraries {
  std::string prefix;
  std::string for64() const { return prefix + "/lib/x86_64-linux-gnu/" + kFolder + kLibrary; }
  std::string for32() const { return prefix + "/lib/i386-linux-gnu/" + kFolder + kLibrary; }
  std::string for32_multilib() const { return prefix + "/lib32/" + kFolder + kLibrary; }
  std::string through_lib() const { return prefix + "/$LIB/" + kFolder + kLibrary; }
  std::string of_size(int word_size) const { return word_size == 64 ? for64() : for32(); }
  // Every expansion of $LIB has the library: each process, of either word
  // size, gets its own.
  bool both_sizes() const {
    return Exists(for64()) && Exists(for32()) && Exists(for32_multilib());
  }
};

[[noreturn]] void RefuseWordSize(int word_size, const std::string &program,
                                 const std::string &where) {
  throw ToolError(kExitUsage, "run: " + Quoted(program) + " is a " + std::to_string(word_size) +
                                  "-bit program, and no " + std::to_string(word_size) +
                                  "-bit simulated board is " + where +
                                  ", so the board could not reach it; build or install one");
}

// The loader splits LD_PRELOAD at spaces and colons and goes on without a
// piece it cannot load: a program would then run with no board at all.
void RefuseUnsplittable(const std::string &library) {
  if (library.find_first_of(" :\t\n") != std::string::npos)
    throw ToolError(kExitUsage, "run: the simulated board " + Quoted(library) +
                                    " has a space or colon in its path, which LD_PRELOAD "
                                    "cannot carry; move the build or installation to a path "
                                    "without one");
}

std::string PreloadPathFor(int word_size, const std::string &program) {
  const std::string own_folder = FolderOf(OwnExecutable());
  const std::string built = own_folder + "/" + kLibrary;
  if (Exists(built)) {
    if (word_size != kOwnWordSize) RefuseWordSize(word_size, program,
                     "in this build tree (its " + built + " is " +
                         std::to_string(kOwnWordSize) + "-bit)");
    return built;
  }
  const InstalledLibraries installed{FolderOf(own_folder)};
  if (installed.both_sizes()) return installed.through_lib();
  if (!Exists(installed.of_size(word_size)))
    RefuseWordSize(word_size, program, "installed at " + installed.of_size(word_size));
  return installed.of_size(word_size);
}

}  // namespace

std::string PreloadFor(int word_size, const std::string &program) {
  const std::string library = PreloadPathFor(word_size, program);
  RefuseUnsplittable(library);
  return library;
}

}  // namespace dio_sim
