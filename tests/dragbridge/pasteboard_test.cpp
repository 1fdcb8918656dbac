// The in-process pasteboard: names, items and their types, property lists,
// promised data, the legacy alias, file URLs and the types they offer.
#include "pasteboard/pasteboard.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <set>
#include <string>

namespace {

using pasteboard::FileURL;
using pasteboard::Pasteboard;
using pasteboard::PropertyList;
using pasteboard::Writer;

const std::string titledType = "dyn.ah62d4rv4gu8zs3pcnzme2641rf4guzdmsv0gn64uqm10c6xenv61a3k";

// A writer with fixed types and values; counts how often it is asked.
class FakeWriter : public Writer {
  public:
    std::vector<std::string> types;
    std::map<std::string, PropertyList> values;
    std::set<std::string> promised;
    mutable int asked = 0;

    std::vector<std::string> writableTypes(const Pasteboard&) const override { return types; }
    pasteboard::WritingOptions writingOptions(const std::string& type,
                                              const Pasteboard&) const override {
        return promised.contains(type) ? pasteboard::writingPromised : pasteboard::writingNone;
    }
    std::optional<PropertyList> propertyList(const std::string& type) const override {
        ++asked;
        auto found = values.find(type);
        if (found == values.end()) return std::nullopt;
        return found->second;
    }
};

FileURL url(const std::string& path) {
    auto made = FileURL::withPath(path);
    EXPECT_TRUE(made) << path;
    return *made;
}

TEST(PasteboardFileURL, PercentEncodesAndDecodesBackToThePath) {
    for (std::string path : {"/tmp/plain.mov", "/tmp/with space/a b.jpg", "/tmp/100%.png",
                             "/tmp/caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC.heic", "/tmp/q?#x.mp4",
                             "/tmp/%41%2F.txt", "/"}) {
        FileURL u = url(path);
        const std::string& s = u.absoluteString();
        EXPECT_EQ(s.rfind("file:///", 0), 0u) << s;
        for (unsigned char c : s) {
            EXPECT_TRUE(c > 0x20 && c < 0x7F) << s;
            EXPECT_NE(c, '#') << s;
            EXPECT_NE(c, '?') << s;
        }
        EXPECT_EQ(u.path(), path);
        auto parsed = FileURL::fromString(s);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->path(), path);
    }
    EXPECT_EQ(url("/tmp/a b%").absoluteString(), "file:///tmp/a%20b%25");
}

TEST(PasteboardFileURL, RelativePathsResolveAgainstTheWorkingDirectory) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(url("clip.mp4").path(), std::string(cwd) + "/clip.mp4");
    EXPECT_EQ(url("../up/x").path(), std::string(cwd) + "/../up/x");  // not normalised
}

TEST(PasteboardFileURL, RefusesWhatNamesNoFile) {
    EXPECT_FALSE(FileURL::withPath(""));
    EXPECT_FALSE(FileURL::withPath(std::string("/tmp/a\0b", 8)));
    EXPECT_FALSE(FileURL::fromString("https://example.org/a"));
    EXPECT_FALSE(FileURL::fromString("not a url"));
    // A file URL on another host is a file URL; its path is the decoded one.
    EXPECT_TRUE(FileURL::fromString("FILE:///tmp/x"));
}

TEST(PasteboardFileURL, OffersLinuxDropTypesWithTheirData) {
    FileURL u = url("/tmp/my clip.mp4");
    Pasteboard board("test");
    std::vector<std::string> expected = {"text/uri-list", "text/plain;charset=utf-8", "UTF8_STRING",
                                         "text/x-moz-url"};
    EXPECT_EQ(u.writableTypes(board), expected);
    EXPECT_EQ(u.propertyList("text/uri-list"), PropertyList("file:///tmp/my%20clip.mp4\r\n"));
    EXPECT_EQ(u.propertyList("text/plain;charset=utf-8"), PropertyList("/tmp/my clip.mp4"));
    EXPECT_EQ(u.propertyList("UTF8_STRING"), PropertyList("/tmp/my clip.mp4"));
    auto moz = u.propertyList("text/x-moz-url");
    ASSERT_TRUE(moz && moz->is_binary());
    std::string bytes = pasteboard::bytesOf(*moz);
    std::string expectedMoz;
    for (char c : std::string("file:///tmp/my%20clip.mp4\n"))
        expectedMoz += {c, '\0'};
    EXPECT_EQ(bytes, expectedMoz);
    EXPECT_FALSE(u.propertyList("image/png"));
    EXPECT_EQ(u.writingOptions("text/uri-list", board), pasteboard::writingNone);
    EXPECT_EQ(u.writingOptions("UTF8_STRING", board), pasteboard::writingPromised);

    // Written to a pasteboard, every type reads back the same.
    board.writeObjects({std::make_shared<FileURL>(u)});
    ASSERT_EQ(board.pasteboardItems().size(), 1u);
    EXPECT_EQ(board.pasteboardItems()[0].types(), expected);
    for (const auto& type : expected)
        EXPECT_EQ(board.propertyListForType(type), u.propertyList(type));
    EXPECT_EQ(board.dataForType("text/x-moz-url"), expectedMoz);
}

TEST(PasteboardNames, UniqueNamesAndGlobalRelease) {
    auto a = Pasteboard::withUniqueName();
    auto b = Pasteboard::withUniqueName();
    EXPECT_NE(a->name(), b->name());
    EXPECT_EQ(Pasteboard::withName(a->name()), a);

    FakeWriter w;
    w.types = {"t"};
    w.values = {{"t", "v"}};
    a->writeObjects({std::make_shared<FakeWriter>(w)});
    a->releaseGlobally();
    // The name is free again; the holder still reads what it wrote.
    auto again = Pasteboard::withName(a->name());
    EXPECT_NE(again, a);
    EXPECT_TRUE(again->pasteboardItems().empty());
    EXPECT_EQ(a->propertyListForType("t"), PropertyList("v"));
    // Releasing the old object does not unregister its successor.
    a->releaseGlobally();
    EXPECT_EQ(Pasteboard::withName(a->name()), again);
    again->releaseGlobally();
    b->releaseGlobally();
}

TEST(PasteboardItems, OneItemPerWriterWithTypesInOrder) {
    Pasteboard board("items");
    auto first = std::make_shared<FakeWriter>();
    first->types = {"b", "a", "b", "missing", "WebURLsWithTitlesPboardType"};
    first->values = {{"a", 1}, {"b", 2}, {"WebURLsWithTitlesPboardType", PropertyList::array()}};
    auto empty = std::make_shared<FakeWriter>();
    auto second = std::make_shared<FakeWriter>();
    second->types = {"a"};
    second->values = {{"a", 3}};

    EXPECT_EQ(board.clearContents(), 1);
    EXPECT_TRUE(board.writeObjects({first, empty, nullptr, second}));
    ASSERT_EQ(board.pasteboardItems().size(), 2u);
    // Duplicates dropped, types without data dropped, the legacy name stored
    // under its canonical name.
    std::vector<std::string> firstTypes = {"b", "a", titledType};
    EXPECT_EQ(board.pasteboardItems()[0].types(), firstTypes);
    EXPECT_EQ(board.pasteboardItems()[1].types(), std::vector<std::string>{"a"});
    // The pasteboard-wide read takes the first item holding the type.
    EXPECT_EQ(board.propertyListForType("a"), PropertyList(1));
    EXPECT_EQ(board.pasteboardItems()[1].propertyListForType("a"), PropertyList(3));
    EXPECT_FALSE(board.propertyListForType("c"));

    EXPECT_FALSE(board.writeObjects({empty}));
    EXPECT_EQ(board.pasteboardItems().size(), 2u);
    board.clearContents();
    EXPECT_TRUE(board.pasteboardItems().empty());
    EXPECT_FALSE(board.propertyListForType("a"));
}

TEST(PasteboardItems, LegacyNameReadsTheSameListAsTheDynamicType) {
    EXPECT_EQ(pasteboard::canonicalType("WebURLsWithTitlesPboardType"), titledType);
    EXPECT_EQ(pasteboard::canonicalType("text/uri-list"), "text/uri-list");

    Pasteboard board("alias");
    auto w = std::make_shared<FakeWriter>();
    PropertyList list = {{"file:///a", "file:///b"}, {"", ""}};
    w->types = {titledType};
    w->values = {{titledType, list}};
    board.writeObjects({w});
    auto dyn = board.propertyListForType(titledType);
    auto legacy = board.propertyListForType("WebURLsWithTitlesPboardType");
    ASSERT_TRUE(dyn && legacy);
    EXPECT_EQ(*dyn, list);
    EXPECT_EQ(*dyn, *legacy);
    EXPECT_NE(*dyn, (PropertyList{{"file:///a", "file:///b"}, {"", "x"}}));
}

TEST(PasteboardItems, ImmediateDataIsTakenAtWritePromisedDataOnFirstRead) {
    Pasteboard board("promise");
    auto w = std::make_shared<FakeWriter>();
    w->types = {"now", "later"};
    w->values = {{"now", "n1"}, {"later", "l1"}};
    w->promised = {"later"};
    board.writeObjects({w});
    EXPECT_EQ(w->asked, 1);
    EXPECT_EQ(board.pasteboardItems()[0].types(), (std::vector<std::string>{"now", "later"}));

    w->values = {{"now", "n2"}, {"later", "l2"}};
    EXPECT_EQ(board.propertyListForType("now"), PropertyList("n1"));
    EXPECT_EQ(board.propertyListForType("later"), PropertyList("l2"));
    EXPECT_EQ(board.dataForType("later"), "l2");
    EXPECT_EQ(w->asked, 2);  // asked once, then kept
    // With nothing left to fetch the pasteboard lets go of the writer.
    EXPECT_EQ(w.use_count(), 1);
}

TEST(PasteboardItems, DataForTypeGivesBytes) {
    EXPECT_EQ(pasteboard::bytesOf(pasteboard::rawData(std::string("a\0b", 3))),
              std::string("a\0b", 3));
    EXPECT_EQ(pasteboard::bytesOf(PropertyList("text")), "text");
    EXPECT_EQ(pasteboard::bytesOf(PropertyList{{"x"}, {""}}), R"([["x"],[""]])");
}

TEST(PasteboardFileURLs, ReadsOneFileURLPerItemInItemOrder) {
    Pasteboard board("read");
    auto web = std::make_shared<FakeWriter>();
    web->types = {"text/uri-list"};
    web->values = {{"text/uri-list", "https://example.org/x\r\n"}};
    auto commented = std::make_shared<FakeWriter>();
    commented->types = {"text/uri-list"};
    commented->values = {{"text/uri-list", "# comment\r\n\r\nfile:///tmp/c%20d\r\nfile:///z\r\n"}};
    auto bare = std::make_shared<FakeWriter>();
    bare->types = {"text/uri-list"};
    bare->values = {{"text/uri-list", "file:///tmp/lf\n"}};
    auto noList = std::make_shared<FakeWriter>();
    noList->types = {"text/plain;charset=utf-8"};
    noList->values = {{"text/plain;charset=utf-8", "/tmp/ignored"}};
    board.writeObjects({std::make_shared<FileURL>(url("/tmp/first")), web, commented, noList, bare,
                        std::make_shared<FileURL>(url("/tmp/first"))});

    std::vector<std::string> paths;
    for (const auto& u : board.readFileURLs())
        paths.push_back(u.path().value_or("?"));
    EXPECT_EQ(paths, (std::vector<std::string>{"/tmp/first", "/tmp/c d", "/tmp/lf", "/tmp/first"}));
}

}  // namespace
