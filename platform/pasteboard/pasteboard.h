// In-process pasteboards: named pasteboards holding an ordered list of items,
// each item an ordered list of types with a property list per type, written
// from pasteboard writers and read back by type, by item or as file URLs.
//
// Property lists are JSON values (strings, numbers, Booleans, arrays,
// dictionaries) plus raw data (a JSON binary value); two property lists are
// equal when they are deeply equal.
//
// Types are identifiers such as "text/uri-list". A few legacy type names are
// aliases of a canonical type: writing or reading under either name reaches
// the same entry, and items list the canonical name.
//
// A pasteboard object is used from one thread at a time (the add-on's: the
// JavaScript main thread); only the registry of names is shared.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pasteboard {

using PropertyList = nlohmann::json;

// Raw bytes as a property list (a JSON binary value).
PropertyList rawData(const std::string& bytes);
// The bytes a property list stands for when a peer asks for the type as data:
// raw data as it is, a string as its UTF-8 text, anything else as compact JSON.
std::string bytesOf(const PropertyList& plist);

// The type under which a drag's first file offers the URLs of all dragged
// files with their titles (a dynamic type identifier, compared exactly as
// written), and its legacy name.
inline constexpr const char* titledURLsType =
    "dyn.ah62d4rv4gu8zs3pcnzme2641rf4guzdmsv0gn64uqm10c6xenv61a3k";
inline constexpr const char* legacyTitledURLsType = "WebURLsWithTitlesPboardType";

// The canonical name of a type: legacyTitledURLsType maps to titledURLsType;
// every other name is its own canonical name.
std::string canonicalType(const std::string& type);

class Pasteboard;

// Options a writer gives for one of its types.
enum WritingOptions : unsigned {
    writingNone = 0,      // the property list is taken when the writer is written
    writingPromised = 1,  // the property list is asked for only when first read
};

// Something that can be written to a pasteboard as one item.
class Writer {
  public:
    virtual ~Writer() = default;
    // The types this writer offers on `pasteboard`, in order of preference.
    virtual std::vector<std::string> writableTypes(const Pasteboard& pasteboard) const = 0;
    virtual WritingOptions writingOptions(const std::string& type,
                                          const Pasteboard& pasteboard) const {
        (void)type;
        (void)pasteboard;
        return writingNone;
    }
    // The property list for one of the offered types, or none.
    virtual std::optional<PropertyList> propertyList(const std::string& type) const = 0;
};

// A file URL, made from a path; it is its own pasteboard writer. It offers, in
// this order, the types that Linux drop targets (file managers, browsers,
// editors, terminals) ask for:
//   "text/uri-list"             the URL followed by CRLF (RFC 2483)
//   "text/plain;charset=utf-8"  the file-system path
//   "UTF8_STRING"               the path again, for X clients that ask for the
//                               ICCCM text target instead of a MIME type
//   "text/x-moz-url"            raw data: the URL, "\n" and an empty title in
//                               UTF-16LE, what Mozilla programs read for links
// "text/uri-list" is given at once; the others are derived from it only when
// a reader first asks for them (promised).
class FileURL : public Writer {
  public:
    // `path` is used as given; a relative path is taken against the current
    // working directory at the time of the call. Returns none for a path that
    // cannot name a file (empty, or holding a NUL byte).
    static std::optional<FileURL> withPath(const std::string& path);
    // Parses a "file:" URL; none for any other URL or a malformed one.
    static std::optional<FileURL> fromString(const std::string& url);

    // The percent-encoded "file:///..." form.
    const std::string& absoluteString() const { return url_; }
    // The decoded file-system path, or none when the URL has none.
    std::optional<std::string> path() const;

    std::vector<std::string> writableTypes(const Pasteboard& pasteboard) const override;
    WritingOptions writingOptions(const std::string& type,
                                  const Pasteboard& pasteboard) const override;
    std::optional<PropertyList> propertyList(const std::string& type) const override;

    bool operator==(const FileURL& other) const { return url_ == other.url_; }

  private:
    explicit FileURL(std::string url) : url_(std::move(url)) {}
    std::string url_;
};

// One item of a pasteboard: the types of one writer, in the writer's order.
class Item {
  public:
    const std::vector<std::string>& types() const { return types_; }
    bool hasType(const std::string& type) const;
    // The property list for a type (its canonical name), fetching promised
    // data from the writer on first use; none when the item lacks the type or
    // the writer gives nothing.
    std::optional<PropertyList> propertyListForType(const std::string& type) const;
    std::optional<std::string> dataForType(const std::string& type) const;

  private:
    friend class Pasteboard;
    std::vector<std::string> types_;
    mutable std::vector<std::optional<PropertyList>> values_;  // one per type
    mutable std::vector<bool> fetched_;                        // one per type
    std::vector<std::string> writerTypes_;                     // each type as the writer named it
    mutable std::shared_ptr<const Writer> writer_;  // kept while a promised type is unfetched
};

class Pasteboard {
  public:
    // A new pasteboard under a name that no live pasteboard of this process
    // uses; it stays registered under that name until released globally.
    static std::shared_ptr<Pasteboard> withUniqueName();
    // The registered pasteboard of that name, made when there is none.
    static std::shared_ptr<Pasteboard> withName(const std::string& name);

    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

    const std::string& name() const { return name_; }
    // Removes every item; returns the new change count.
    long clearContents();
    long changeCount() const { return changeCount_; }
    // Appends one item per writer, in order. Writers that offer no type add
    // no item. Returns whether any item was added.
    bool writeObjects(const std::vector<std::shared_ptr<const Writer>>& writers);

    const std::vector<Item>& pasteboardItems() const { return items_; }
    // The property list stored under a type (or its legacy name) by the first
    // item that has the type, or none.
    std::optional<PropertyList> propertyListForType(const std::string& type) const;
    std::optional<std::string> dataForType(const std::string& type) const;
    // The file URLs on the pasteboard, one per item that holds a "file:" URL in
    // its "text/uri-list", in item order; URLs of other schemes are left out.
    std::vector<FileURL> readFileURLs() const;

    // Gives up the name: later lookups by name make a new pasteboard. Holders
    // of this object may still read it.
    void releaseGlobally();

    // A pasteboard outside the registry (withName does not find it).
    explicit Pasteboard(std::string name) : name_(std::move(name)) {}

  private:
    std::string name_;
    std::vector<Item> items_;
    long changeCount_ = 0;
};

}  // namespace pasteboard
