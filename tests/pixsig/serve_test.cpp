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

// Lines that are not exactly one JSON object with a string "path" at its top
// level, however the rest of them is nested, duplicated or cut short.
TEST(PixsigServe, MalformedAndMisplacedRequestsStayBad) {
    const std::vector<std::string> bad = {
        R"({"path":"a.png","path":5})",  // of duplicate keys the last counts
        R"({"path":"a.png","path":{"x":"y.png"}})",
        R"({"path":[["a.png"]]})",
        R"({"x":{"path":"a.png"}})",  // only top-level members count
        R"({"x":[{"path":"a.png"}]})",
        repeat("[", 100000) + R"({"path":"a.png"})" + repeat("]", 100000),
        R"({"path":"a.png","x":)" + repeat("[", 100000) + repeat("]", 99999) + "}",
        R"({"path":"a.png","x":)" + repeat(R"({"a":)", 50000) + "1" + repeat("}", 49999) + "}",
        R"({"path":"a.png","x":[[[)",
        R"({"path":"a.png","x":[1,]})",
        R"({"path":"a.png",})",
        R"({"path":"a.png","x":[}})",
        R"({"path":"a.png","x":{]})",
        R"({"path":"a.png","x":{1:2}})",
        R"({"path":"a.png" "id":"x"})",
        R"({"path":"a.png"}])",
        R"({"path":"a.png"}})",
        R"({"path":"a.png"}/*c*/)",
        R"({'path':'a.png'})",
        R"({"path":"a.png","x":1e400})",
        R"({"path":"a.png","x":-1e400})",
        R"({"path":"a.png","x":01})",
        R"({"path":"a.png","x":.5})",
        R"({"path":"a.png","x":tru})",
        R"({"path":"a.png","x":nul})",
        R"({"path":"a.png","x":"\ud800"})",
        R"({"path":"a.png","x":"\x"})",
        "{\"path\":\"a.png\",\"x\":\"tab\there\"}",
        "{\"path\":\"a.png\"}\v",
        "\xff{\"path\":\"a.png\"}",  // U+FFFD before the object
        "{\"path\":\"a.png\"}\xc3",
        "{\"path\"\xff:\"a.png\"}",
        "\xEF\xBB\xBF",
        "1.5",
        "-0",
        R"("")",
        R"("\u0000")",
        R"(["a.png"])",
    };
    std::string input;
    for (const auto& line : bad)
        input += line + "\n";
    auto r = serve(input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, repeat(badLine, int(bad.size())));
}

// Accepted lines and what is read from them: duplicate keys (the last
// counts), values nested in ignored or kept keys, and numbers of every kind
// JSON has in the integer keys of a thumbnail request. Feature prints name
// missing files; thumbnails are of a 96 x 64 image.
TEST(PixsigServe, AcceptedRequestsReadTheirKeysAsBefore) {
    std::string image = json(fixture("pixsig/serve/thumb.jpg")).dump();
    std::string out = json(testsupport::scratchDir("serve-keys") + "/t.jpg").dump();
    auto thumb = [&](const std::string& members) {
        return R"({"op":"thumb","path":)" + image + R"(,"out":)" + out + "," + members + "}";
    };
    const json print = "feature print";  // the answer of a feature print of a missing file
    auto sized = [](const char* id, int width, int height) {
        return json{{"id", id}, {"ok", true}, {"width", width}, {"height", height}};
    };
    const std::string deep = repeat("[", 10000) + repeat("]", 10000);
    const std::string deepObject = repeat(R"({"a":)", 10000) + "[]" + repeat("}", 10000);
    struct Case {
        std::string line;
        std::string id;
        json answer;  // a thumbnail's whole response, or `print`
    };
    const std::vector<Case> cases = {
        {R"({"path":5,"path":"m1.png"})", "m1.png", print},
        {R"({"path":"m2.png","id":"a","id":7})", "m2.png", print},
        {R"({"path":"m3.png","id":7,"id":"b"})", "b", print},
        {R"({"path":"m4.png","id":[[["x"]]]})", "m4.png", print},
        {R"({"path":"m5.png","deep":)" + deep + "}", "m5.png", print},
        {R"({"path":"m6.png","deep":)" + deepObject + R"(,"id":"after deep"})", "after deep",
         print},
        {R"({"path":"m7.png","x":{"path":5,"id":"inner","op":"thumb"}})", "m7.png", print},
        {R"({"x":{"path":"inner.png"},"path":"m8.png"})", "m8.png", print},
        {R"({"op":"thumb","op":"x","path":"m9.png","id":"op replaced"})", "op replaced", print},
        {R"({"path":"m10.png","id":"\u00e9\ud83c\udfac\n\"\\\/"})",
         "\xC3\xA9\xF0\x9F\x8E\xAC\n\"\\/", print},
        {"\xEF\xBB\xBF{\"path\":\"m11.png\"}", "m11.png", print},  // a byte-order mark is skipped
        {R"({"path":"m12.png","n":[1,-1,1.5,1e308,-0,0.0,18446744073709551616,true,null,{},[]]})",
         "m12.png", print},
        {R"( { "path" : "m13.png" , "id" : "spaced" } )", "spaced", print},
        {thumb(R"("id":"unsigned","size":32)"), "", sized("unsigned", 32, 21)},
        {thumb(R"("id":"whole float","size":32.0)"), "", sized("whole float", 32, 21)},
        {thumb(R"("id":"exponent","size":4.8e1)"), "", sized("exponent", 48, 32)},
        {thumb(R"("id":"fraction","size":32.5)"), "", sized("fraction", 96, 64)},
        {thumb(R"("id":"string","size":"32")"), "", sized("string", 96, 64)},
        {thumb(R"("id":"above int64","size":18446744073709551615)"), "",
         sized("above int64", 96, 64)},
        {thumb(R"("id":"huge float","size":1e300)"), "", sized("huge float", 96, 64)},
        {thumb(R"("id":"negative","size":-5)"),
         "",
         {{"id", "negative"},
          {"ok", false},
          {"error", "can't decode " + json::parse(image).get<std::string>()}}},
        {thumb(R"("id":"size twice","size":16,"size":"big")"), "", sized("size twice", 96, 64)},
        {thumb(R"("id":"size again","size":"big","size":16)"), "", sized("size again", 16, 11)},
        {thumb(R"("id":"exact","width":20,"height":10)"), "", sized("exact", 20, 10)},
        {thumb(R"("id":"exact floats","width":20.0,"height":1e1)"), "",
         sized("exact floats", 20, 10)},
        {thumb(R"("id":"width only","width":20)"), "", sized("width only", 96, 64)},
        {thumb(R"("id":"nested width","width":[20],"height":10)"), "",
         sized("nested width", 96, 64)},
        {thumb(R"("id":"inner exact","x":{"width":20,"height":10},"size":24)"), "",
         sized("inner exact", 24, 16)},
        {thumb(R"("id":"deep","x":)" + deep + R"(,"size":24)"), "", sized("deep", 24, 16)},
        {thumb(R"("id":"out twice","out":5)"),
         "",
         {{"id", "out twice"}, {"ok", false}, {"error", "thumb needs path and out"}}},
        {R"({"op":"thumb","path":)" + image + R"(,"out":5,"out":)" + out + R"(,"size":16})", "",
         sized("", 16, 11)},
    };
    std::string input;
    for (const auto& c : cases)
        input += c.line + "\n";
    auto r = serve(input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto lines = responses(r.out);
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.line.substr(0, 120));
        if (c.answer == print) {
            EXPECT_EQ(lines[i]["id"], c.id);
            EXPECT_EQ(lines[i]["ok"], false);
            EXPECT_TRUE(lines[i]["error"].is_string());
            EXPECT_NE(lines[i]["error"], "thumb needs path and out");
            EXPECT_EQ(lines[i].size(), 3u) << lines[i];
        } else {
            json expected = c.answer;
            if (expected["id"] == "") expected["id"] = json::parse(image);
            EXPECT_EQ(lines[i], expected);
        }
    }
}
