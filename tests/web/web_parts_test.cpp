// dio-webd's parts on their own, without a board or a socket: the listen
// address, the token file, the write checks in their order, the write
// bodies and which of the page's files a path names.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <variant>

#include "listen_address.h"
#include "request_policy.h"
#include "static_files.h"
#include "token_file.h"
#include "tool_messages.h"
#include "write_body.h"

namespace dio_webd {
namespace {

using varnik::tools::UsageError;

const std::string kToken(40, 't');

// A folder of its own for each test, removed afterwards.
class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/web_parts_test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

  std::string Write(const std::string &name, const std::string &content, mode_t mode = 0600) {
    const std::string path = folder_ + "/" + name;
    std::ofstream(path) << content;
    chmod(path.c_str(), mode);
    return path;
  }

  // The message ReadTokenFile refuses path with ("" when it takes it).
  static std::string TokenRefusal(const std::string &path) {
    try {
      ReadTokenFile(path);
      return "";
    } catch (const UsageError &error) {
      return error.what();
    }
  }

  std::string folder_;
};

TEST(WebListenAddress, TakesIpv4OrLocalhostWithAPort) {
  const ListenAddress any = ParseListenAddress("0.0.0.0:80");
  EXPECT_EQ(any.Text(), "0.0.0.0:80");
  EXPECT_FALSE(any.Loopback());
  const ListenAddress local = ParseListenAddress("localhost:0");
  EXPECT_EQ(local.Text(), "127.0.0.1:0");
  EXPECT_TRUE(local.Loopback());
  EXPECT_TRUE(ParseListenAddress("127.8.9.10:65535").Loopback());
  EXPECT_FALSE(ParseListenAddress("128.0.0.1:8080").Loopback());
  for (const char *bad : {"127.0.0.1", "127.0.0.1:", ":8080", "127.0.0.1:65536", "127.0.0.1:-1",
                          "127.0.0.1:80a", "127.1:8080", "0x7f.0.0.1:80", "[::1]:8080",
                          "example.org:80", "127.0.0.1:8080:1", " 127.0.0.1:80"})
    EXPECT_THROW(ParseListenAddress(bad), UsageError) << bad;
}

TEST_F(Folder, TokenFileHoldsOneLineOf32To256PrintableCharacters) {
  EXPECT_EQ(ReadTokenFile(Write("plain", kToken)), kToken);
  EXPECT_EQ(ReadTokenFile(Write("with-newline", kToken + "\n", 0640)), kToken);
  EXPECT_EQ(ReadTokenFile(Write("shortest", std::string(32, 'a'))), std::string(32, 'a'));
  EXPECT_EQ(ReadTokenFile(Write("longest", std::string(256, '~'))), std::string(256, '~'));
  EXPECT_NE(TokenRefusal(Write("short", std::string(31, 'a'))).find("31 characters"),
            std::string::npos);
  EXPECT_NE(TokenRefusal(Write("long", std::string(257, 'a'))), "");
  EXPECT_NE(TokenRefusal(Write("empty", "")), "");
  EXPECT_NE(TokenRefusal(Write("space", kToken + " x")), "");
  EXPECT_NE(TokenRefusal(Write("tab", "\t" + kToken)), "");
  EXPECT_NE(TokenRefusal(Write("crlf", kToken + "\r\n")), "");
  EXPECT_NE(TokenRefusal(Write("beyond-ascii", kToken + "\xc3\xa9")), "");
  EXPECT_NE(TokenRefusal(Write("two-lines", kToken + "\n" + kToken + "\n")).find("more than one line"),
            std::string::npos);
  EXPECT_NE(TokenRefusal(Write("blank-second-line", kToken + "\n\n")), "");
}

TEST_F(Folder, TokenFileMustBeARegularFileOthersCannotReach) {
  for (const mode_t mode : {0604, 0602, 0601, 0666}) {
    const std::string path = Write("open", kToken, mode);
    EXPECT_NE(TokenRefusal(path).find("chmod o= " + path), std::string::npos) << std::oct << mode;
  }
  EXPECT_NE(TokenRefusal(folder_).find("not a regular file"), std::string::npos);
  const std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(TokenRefusal(fifo).find("not a regular file"), std::string::npos);
  const std::string link = folder_ + "/link";
  ASSERT_EQ(symlink(Write("target", kToken).c_str(), link.c_str()), 0);
  EXPECT_NE(TokenRefusal(link).find("symbolic link"), std::string::npos);
  EXPECT_NE(TokenRefusal(folder_ + "/missing").find("--token-file " + folder_ + "/missing"),
            std::string::npos);
}

TEST(WebTokens, EqualOnlyWhenEveryCharacterAndTheLengthAgree) {
  EXPECT_TRUE(TokensEqual(kToken, kToken));
  EXPECT_TRUE(TokensEqual("", ""));
  EXPECT_FALSE(TokensEqual(kToken, kToken + "t"));
  EXPECT_FALSE(TokensEqual(kToken + "t", kToken));
  EXPECT_FALSE(TokensEqual(kToken, ""));
  EXPECT_FALSE(TokensEqual(std::string("a\0", 2), "a"));
  for (size_t i = 0; i < kToken.size(); ++i) {
    std::string other = kToken;
    other[i] = 'u';
    EXPECT_FALSE(TokensEqual(kToken, other)) << i;
  }
}

// A policy with the token, on 127.0.0.1, answering to board.local too.
WritePolicy LoopbackPolicy() {
  WritePolicy policy;
  policy.token = kToken;
  policy.hosts = AnsweredHosts(ParseListenAddress("127.0.0.1:8080"), {"Board.Local"});
  return policy;
}

WriteHeaders Passing() {
  return {"Bearer " + kToken, std::string("127.0.0.1:8080"), std::nullopt};
}

int StatusOf(const WritePolicy &policy, const WriteHeaders &headers) {
  const std::optional<Refusal> refusal = CheckWrite(policy, headers);
  return refusal ? refusal->status : 0;
}

TEST(WebWritePolicy, TokenFirstThenReadOnlyAndNoToken) {
  const WritePolicy policy = LoopbackPolicy();
  EXPECT_EQ(StatusOf(policy, Passing()), 0);
  WriteHeaders headers = Passing();
  headers.authorization = "bearer " + kToken;  // the scheme in any case
  EXPECT_EQ(StatusOf(policy, headers), 0);
  for (const char *wrong : {"", "Bearer", "Bearer ", "Basic dXNlcjpwYXNz", "Token x"}) {
    headers.authorization = wrong;
    EXPECT_EQ(StatusOf(policy, headers), 401) << wrong;
  }
  headers.authorization = "Bearer " + kToken + "x";
  EXPECT_EQ(StatusOf(policy, headers), 401);
  headers.authorization.reset();
  headers.host = "evil.example";  // a wrong host too: the token is asked for first
  EXPECT_EQ(StatusOf(policy, headers), 401);

  WritePolicy read_only = policy;
  read_only.read_only = true;
  EXPECT_EQ(StatusOf(read_only, headers), 401);
  EXPECT_EQ(StatusOf(read_only, Passing()), 403);
  WritePolicy tokenless = policy;
  tokenless.token.reset();
  EXPECT_EQ(StatusOf(tokenless, {std::nullopt, std::string("127.0.0.1"), std::nullopt}), 403);
  EXPECT_EQ(StatusOf(tokenless, Passing()), 403);
}

TEST(WebWritePolicy, HostMustBeOneTheServerAnswersTo) {
  const WritePolicy policy = LoopbackPolicy();
  WriteHeaders headers = Passing();
  for (const char *answered : {"127.0.0.1", "localhost:8080", "LOCALHOST", "board.local:1",
                               "BOARD.local"}) {
    headers.host = answered;
    EXPECT_EQ(StatusOf(policy, headers), 0) << answered;
  }
  // A name that resolves to loopback through an attacker's DNS is refused.
  for (const char *other : {"rebind.attacker.example:8080", "127.0.0.2", "[::1]:8080", "",
                            "localhost.attacker.example", "board.local.example"}) {
    headers.host = other;
    EXPECT_EQ(StatusOf(policy, headers), 403) << other;
  }
  headers.host.reset();
  EXPECT_EQ(StatusOf(policy, headers), 403);
  // Beyond loopback, localhost is no name of the server's.
  WritePolicy remote = policy;
  remote.hosts = AnsweredHosts(ParseListenAddress("192.168.1.5:80"), {});
  headers.host = "192.168.1.5";
  EXPECT_EQ(StatusOf(remote, headers), 0);
  headers.host = "localhost";
  EXPECT_EQ(StatusOf(remote, headers), 403);
}

TEST(WebWritePolicy, OriginMustBeTheRequestsOwnHost) {
  const WritePolicy policy = LoopbackPolicy();
  WriteHeaders headers = Passing();
  headers.origin = "http://127.0.0.1:8080";
  EXPECT_EQ(StatusOf(policy, headers), 0);
  headers.origin = "HTTP://127.0.0.1:8080";
  EXPECT_EQ(StatusOf(policy, headers), 0);
  for (const char *other : {"http://evil.example", "http://127.0.0.1:8081", "http://127.0.0.1",
                            "null", "", "127.0.0.1:8080", "http://127.0.0.1:8080/x",
                            "http://localhost:8080"}) {
    headers.origin = other;
    EXPECT_EQ(StatusOf(policy, headers), 403) << other;
  }
}

TEST(WebWriteBody, TakesJsonWithOneKnownKeyOnly) {
  EXPECT_FALSE(CheckJsonType(std::string("application/json")));
  EXPECT_FALSE(CheckJsonType(std::string("Application/JSON; charset=utf-8")));
  for (const char *type : {"text/plain", "application/jsonx", "application/x-www-form-urlencoded", ""})
    EXPECT_EQ(CheckJsonType(std::string(type))->status, 415) << type;
  EXPECT_EQ(CheckJsonType(std::nullopt)->status, 415);

  EXPECT_EQ(std::get<int>(ParseLevelBody("{\"value\": 1}")), 1);
  EXPECT_EQ(std::get<int>(ParseLevelBody("{\"value\": false}")), 0);
  for (const char *bad : {"", "1", "[1]", "{\"value\": 2}", "{\"value\": \"1\"}", "{\"value\": 1.0}",
                          "{\"value\": 1, \"x\": 0}", "{}", "{\"value\": null}", "{\"value\": 1"})
    EXPECT_EQ(std::get<BodyProblem>(ParseLevelBody(bad)).status, 400) << bad;

  EXPECT_EQ(std::get<uint32_t>(ParsePulseBody("{\"width_ms\": 1}")), 1u);
  EXPECT_EQ(std::get<uint32_t>(ParsePulseBody("{\"width_ms\": 3600000}")), 3600000u);
  for (const char *bad : {"{\"width_ms\": 0}", "{\"width_ms\": 3600001}", "{\"width_ms\": -5}",
                          "{\"width_ms\": 2.5}", "{\"width_ms\": true}", "{\"value\": 1}"})
    EXPECT_TRUE(std::holds_alternative<BodyProblem>(ParsePulseBody(bad))) << bad;
}

TEST(WebStaticFiles, PathsNameOnlyPlainFilesDirectlyInTheFolder) {
  EXPECT_EQ(StaticFileName("/"), "index.html");
  EXPECT_EQ(StaticFileName("/app.js"), "app.js");
  EXPECT_EQ(StaticFileName("/openapi.json"), "openapi.json");
  EXPECT_EQ(StaticFileName("/icon-2_x.png"), "icon-2_x.png");
  for (const char *refused :
       {"", "//", "/..", "/../etc/passwd", "/%2e%2e/etc/passwd", "/%2e%2e%2fetc%2fpasswd",
        "/style.css/", "/sub/app.js", "/sub%2fapp.js", "/.hidden.css", "/.env", "/App.js",
        "/app.js?x", "/index.html%00.png", "/-x.css", "/README", "/app.sh", "app.js", "/~x.css"})
    EXPECT_EQ(StaticFileName(refused), std::nullopt) << refused;
}

TEST_F(Folder, ReadsRegularFilesInTheFolderOnlyNeverThroughALink) {
  Write("index.html", "<html></html>", 0644);
  const std::optional<StaticFile> page = ReadStaticFile(folder_, "index.html");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->content, "<html></html>");
  EXPECT_EQ(page->content_type, "text/html; charset=utf-8");
  EXPECT_EQ(ReadStaticFile(folder_, "missing.css"), std::nullopt);

  const std::string outside = Write("secret.txt", "secret", 0644);
  ASSERT_EQ(symlink("/etc/passwd", (folder_ + "/passwd.css").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (folder_ + "/secret.js").c_str()), 0);
  EXPECT_EQ(ReadStaticFile(folder_, "passwd.css"), std::nullopt);
  EXPECT_EQ(ReadStaticFile(folder_, "secret.js"), std::nullopt);
  ASSERT_EQ(mkdir((folder_ + "/folder.css").c_str(), 0755), 0);
  EXPECT_EQ(ReadStaticFile(folder_, "folder.css"), std::nullopt);
  ASSERT_EQ(mkfifo((folder_ + "/fifo.js").c_str(), 0644), 0);
  EXPECT_EQ(ReadStaticFile(folder_, "fifo.js"), std::nullopt);  // and it does not hang
  Write("big.js", std::string(kLargestStaticFile + 1, 'x'), 0644);
  EXPECT_EQ(ReadStaticFile(folder_, "big.js"), std::nullopt);
  Write("edge.js", std::string(kLargestStaticFile, 'x'), 0644);
  EXPECT_TRUE(ReadStaticFile(folder_, "edge.js"));
  // A name no path could give is refused here too.
  EXPECT_EQ(ReadStaticFile(folder_, "../" + folder_.substr(folder_.rfind('/') + 1) + "/edge.js"),
            std::nullopt);
}

}  // namespace
}  // namespace dio_webd
