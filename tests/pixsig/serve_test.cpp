// pixsig's argument modes and serve loop, driven as the host drives it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "proc.h"

using nlohmann::json;
using testsupport::bin;
using testsupport::fixture;
using testsupport::run;

extern char** environ;

namespace {

const std::string badLine = "pixsig: bad request line\n";

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

testsupport::Run serve(const std::string& input) {
    return run({bin("pixsig"), "--serve"}, input);
}

// Response lines, each checked to be one compact JSON object ending in "\n".
std::vector<json> responses(const std::string& out) {
    std::vector<json> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        json j = json::parse(line);
        EXPECT_TRUE(j.is_object()) << line;
        EXPECT_EQ(line, j.dump()) << "not compact";
        lines.push_back(j);
    }
    EXPECT_TRUE(out.empty() || out.back() == '\n');
    return lines;
}

}  // namespace

TEST(PixsigEntry, NoArgumentsPrintsUsageWithStatus64) {
    auto r = run({bin("pixsig")});
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err, "Usage: pixsig --serve | pixsig <image>...\n");
    EXPECT_EQ(r.out, "");
}

TEST(PixsigEntry, QueriesPrintOneLineAndIgnoreFurtherArguments) {
    auto model = run({bin("pixsig"), "--model", "--serve", "x.jpg"});
    EXPECT_EQ(model.status, 0);
    EXPECT_EQ(model.out, "vision-fp-r2\n");
    EXPECT_EQ(model.err, "");
    auto protocol = run({bin("pixsig"), "--thumb-protocol", "--model"});
    EXPECT_EQ(protocol.status, 0);
    EXPECT_EQ(protocol.out, "1\n");
    // Only exact, case-sensitive matches select a mode: "--MODEL" is a path.
    auto path = run({bin("pixsig"), "--MODEL"});
    auto lines = responses(path.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], "--MODEL");
    EXPECT_EQ(lines[0]["ok"], false);
}

TEST(PixsigEntry, ServeIgnoresFurtherArguments) {
    auto r =
        run({bin("pixsig"), "--serve", "--model", "a.jpg"}, R"({"path":"missing.png","id":"m"})"
                                                            "\n");
    EXPECT_EQ(r.status, 0);
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], "m");
}

TEST(PixsigBatch, EveryArgumentIsAPathAnsweredInOrder) {
    std::string image = fixture("pixsig/serve/small.png");
    auto r = run({bin("pixsig"), image, "--serve", "/no/such/file.png"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["id"], image);
    EXPECT_EQ(lines[0]["ok"], true);
    EXPECT_EQ(lines[1]["id"], "--serve");
    EXPECT_EQ(lines[1]["ok"], false);
    EXPECT_EQ(lines[2]["id"], "/no/such/file.png");
    EXPECT_EQ(lines[2]["ok"], false);
}

TEST(PixsigBatch, ArgumentThatIsNotUTF8GivesValidJSON) {
    auto r = run({bin("pixsig"), "bad\xff\xfe.png"});
    EXPECT_EQ(r.status, 0);
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], "bad\xEF\xBF\xBD\xEF\xBF\xBD.png");
    EXPECT_EQ(lines[0]["ok"], false);
}

TEST(PixsigServe, EmptyInputEndsQuietly) {
    auto r = serve("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(PixsigServe, EmptyAndCarriageReturnOnlyLinesAreSkippedSilently) {
    auto r = serve("\n\r\n\n\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(PixsigServe, RejectedLinesGetOnlyTheMessage) {
    static const char nulLine[] = "{\"path\":\"a\0b.jpg\"}";
    const std::vector<std::string> bad = {
        "   ",
        "\t",
        "\r\r",  // only the carriage return directly before the line feed goes
        "[]",
        "{}",
        R"({"path":5})",
        R"({"path":null})",
        R"({"path":["a.jpg"]})",
        R"({"op":"thumb","id":"t"})",
        R"({"path":"a.jpg"}{"path":"b.jpg"})",
        R"({"path":"a.jpg"} x)",
        R"({"path":"a.jpg"},)",
        R"("a.jpg")",
        "42",
        "true",
        "null",
        R"([{"path":"a.jpg"}])",
        R"({"path":"a.jpg")",
        "not json",
        std::string(nulLine, sizeof nulLine - 1),
        repeat("[", 100000) + repeat("]", 100000),
    };
    std::string input;
    for (const auto& line : bad)
        input += line + "\n";
    auto r = serve(input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, repeat(badLine, int(bad.size())));
}

TEST(PixsigServe, WhitespaceAroundTheObjectIsAccepted) {
    auto r = serve(" \t{\"path\":\"gone.png\",\"id\":\"w\"}  \r\n");
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], "w");
}

TEST(PixsigServe, IdentifierRules) {
    auto r = serve(R"({"path":"p1.png","id":"given"})"
                   "\n"
                   R"({"path":"p2.png","id":7})"
                   "\n"
                   R"({"path":"p3.png","id":null})"
                   "\n"
                   R"({"path":"p4.png"})"
                   "\n"
                   R"({"path":"p5.png","id":""})"
                   "\n");
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0]["id"], "given");
    EXPECT_EQ(lines[1]["id"], "p2.png");
    EXPECT_EQ(lines[2]["id"], "p3.png");
    EXPECT_EQ(lines[3]["id"], "p4.png");
    EXPECT_EQ(lines[4]["id"], "");
}

TEST(PixsigServe, OpOtherThanThumbSelectsAFeaturePrint) {
    std::string image = json(fixture("pixsig/serve/small.png")).dump();
    std::string input;
    for (std::string op : {R"("THUMB")", R"("thumbnail")", "5", "null", R"(["thumb"])"})
        input += R"({"op":)" + op + R"(,"path":)" + image + "}\n";
    auto r = serve(input);
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 5u);
    for (const json& line : lines) {
        EXPECT_EQ(line["ok"], true) << line;
        EXPECT_EQ(line["model"], "vision-fp-r2");
        EXPECT_TRUE(line.contains("b64"));
    }
}

TEST(PixsigServe, ResponsesFollowRequestOrderAcrossRejectedLines) {
    std::string image = json(fixture("pixsig/serve/small.png")).dump();
    auto r = serve(R"({"path":"nope1.png","id":"1"})"
                   "\n[]\n"
                   R"({"path":)" +
                   image +
                   R"(,"id":"2"})"
                   "\r\n\n"
                   R"({"path":"nope3.png","id":"3"})");  // no final line feed
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, badLine);
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["id"], "1");
    EXPECT_EQ(lines[0]["ok"], false);
    EXPECT_EQ(lines[1]["id"], "2");
    EXPECT_EQ(lines[1]["ok"], true);
    EXPECT_EQ(lines[2]["id"], "3");
    EXPECT_EQ(lines[2]["ok"], false);
}

TEST(PixsigServe, InvalidUTF8IsReplacedBeforeParsing) {
    // Bytes that are not UTF-8 inside strings become U+FFFD; the line is
    // still accepted and answered with valid JSON.
    auto r = serve("{\"path\":\"caf\xe9.png\",\"id\":\"\xff\xc3\"}\n");
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(lines[0]["ok"], false);
    EXPECT_NE(lines[0]["error"].get<std::string>().find("caf\xEF\xBF\xBD.png"), std::string::npos)
        << lines[0]["error"];
}

TEST(PixsigServe, VeryLongLinesAreHeldWhole) {
    std::string path = "/" + repeat("d", 3'000'000) + ".png";
    auto r = serve(json{{"path", path}, {"id", "long"}}.dump() + "\n" +
                   R"({"path":"after.png"})"
                   "\n");
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["id"], "long");
    EXPECT_EQ(lines[0]["ok"], false);
    EXPECT_EQ(lines[1]["id"], "after.png");
}

// The host closing its end of standard output ends the server with status
// 0, not by SIGPIPE and not by spinning on failed writes.
TEST(PixsigServe, ClosedStandardOutputEndsQuietly) {
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string program = bin("pixsig");
    char* argv[] = {program.data(), const_cast<char*>("--serve"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(out[0]);  // nobody reads the answers
    signal(SIGPIPE, SIG_IGN);
    std::string line = R"({"path":"missing.png"})"
                       "\n";
    // Keep writing until the server stops reading; a few lines are enough
    // for its first response write to fail.
    for (int i = 0; i < 1000; i++) {
        if (::write(in[1], line.data(), line.size()) < 0) break;
    }
    ::close(in[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
