#include "pasteboard/pasteboard.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>

#include <glib.h>

#include "handles/glib.h"

namespace pasteboard {

namespace {

constexpr const char* uriListType = "text/uri-list";
constexpr const char* utf8TextType = "text/plain;charset=utf-8";
constexpr const char* x11TextType = "UTF8_STRING";
constexpr const char* mozURLType = "text/x-moz-url";

struct GErrorDeleter {
    void operator()(GError* e) const { g_error_free(e); }
};

// Registered pasteboards by name. Weak references: a pasteboard that nobody
// holds any more is gone even when it was never released globally.
struct Registry {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<Pasteboard>> byName;
    unsigned long serial = 0;

    void prune() {
        std::erase_if(byName, [](const auto& entry) { return entry.second.expired(); });
    }
};

Registry& registry() {
    static Registry instance;
    return instance;
}

std::string currentDirectory() {
    std::string buffer(PATH_MAX, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

}  // namespace

PropertyList rawData(const std::string& bytes) {
    return PropertyList::binary(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::string bytesOf(const PropertyList& plist) {
    if (plist.is_binary()) {
        const auto& bytes = plist.get_binary();
        return std::string(bytes.begin(), bytes.end());
    }
    if (plist.is_string()) return plist.get<std::string>();
    return plist.dump(-1, ' ', false, PropertyList::error_handler_t::replace);
}

std::string canonicalType(const std::string& type) {
    if (type == legacyTitledURLsType) return titledURLsType;
    return type;
}

// ---- FileURL

std::optional<FileURL> FileURL::withPath(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
    std::string absolute = path;
    if (path.front() != '/') {
        std::string cwd = currentDirectory();
        if (cwd.empty()) return std::nullopt;
        absolute = cwd == "/" ? "/" + path : cwd + "/" + path;
    }
    GError* error = nullptr;
    handles::GlibString uri(g_filename_to_uri(absolute.c_str(), nullptr, &error));
    if (!uri) {
        std::unique_ptr<GError, GErrorDeleter> release(error);
        return std::nullopt;
    }
    return FileURL(uri.get());
}

std::optional<FileURL> FileURL::fromString(const std::string& url) {
    if (url.find('\0') != std::string::npos) return std::nullopt;
    handles::GlibString scheme(g_uri_parse_scheme(url.c_str()));
    if (!scheme || g_ascii_strcasecmp(scheme.get(), "file") != 0) return std::nullopt;
    return FileURL(url);
}

std::optional<std::string> FileURL::path() const {
    GError* error = nullptr;
    handles::GlibString path(g_filename_from_uri(url_.c_str(), nullptr, &error));
    if (!path) {
        std::unique_ptr<GError, GErrorDeleter> release(error);
        return std::nullopt;
    }
    return std::string(path.get());
}

std::vector<std::string> FileURL::writableTypes(const Pasteboard&) const {
    return {uriListType, utf8TextType, x11TextType, mozURLType};
}

WritingOptions FileURL::writingOptions(const std::string& type, const Pasteboard&) const {
    return type == uriListType ? writingNone : writingPromised;
}

std::optional<PropertyList> FileURL::propertyList(const std::string& type) const {
    if (type == uriListType) return PropertyList(url_ + "\r\n");
    if (type == utf8TextType || type == x11TextType) {
        auto decoded = path();
        if (!decoded) return std::nullopt;
        return PropertyList(*decoded);
    }
    if (type == mozURLType) {
        // URL, line feed, empty title, as UTF-16LE; the URL is percent-encoded
        // ASCII, so each character is one code unit.
        std::string utf16;
        for (char c : url_ + "\n") {
            utf16.push_back(c);
            utf16.push_back('\0');
        }
        return rawData(utf16);
    }
    return std::nullopt;
}

// ---- Item

bool Item::hasType(const std::string& type) const {
    return std::find(types_.begin(), types_.end(), canonicalType(type)) != types_.end();
}

std::optional<PropertyList> Item::propertyListForType(const std::string& type) const {
    auto found = std::find(types_.begin(), types_.end(), canonicalType(type));
    if (found == types_.end()) return std::nullopt;
    auto index = static_cast<std::size_t>(found - types_.begin());
    if (!fetched_[index]) {
        values_[index] = writer_ ? writer_->propertyList(writerTypes_[index]) : std::nullopt;
        fetched_[index] = true;
        if (std::all_of(fetched_.begin(), fetched_.end(), [](bool f) { return f; }))
            writer_.reset();
    }
    return values_[index];
}

std::optional<std::string> Item::dataForType(const std::string& type) const {
    auto plist = propertyListForType(type);
    if (!plist) return std::nullopt;
    return bytesOf(*plist);
}

// ---- Pasteboard

std::shared_ptr<Pasteboard> Pasteboard::withUniqueName() {
    auto& reg = registry();
    std::lock_guard guard(reg.lock);
    reg.prune();
    std::string name;
    do {
        name = "pasteboard-" + std::to_string(getpid()) + "-" + std::to_string(++reg.serial);
    } while (reg.byName.contains(name));
    auto board = std::make_shared<Pasteboard>(name);
    reg.byName[name] = board;
    return board;
}

std::shared_ptr<Pasteboard> Pasteboard::withName(const std::string& name) {
    auto& reg = registry();
    std::lock_guard guard(reg.lock);
    if (auto found = reg.byName.find(name); found != reg.byName.end()) {
        if (auto board = found->second.lock()) return board;
    }
    reg.prune();
    auto board = std::make_shared<Pasteboard>(name);
    reg.byName[name] = board;
    return board;
}

void Pasteboard::releaseGlobally() {
    auto& reg = registry();
    std::lock_guard guard(reg.lock);
    auto found = reg.byName.find(name_);
    if (found == reg.byName.end()) return;
    auto holder = found->second.lock();
    if (!holder || holder.get() == this) reg.byName.erase(found);
}

long Pasteboard::clearContents() {
    items_.clear();
    return ++changeCount_;
}

bool Pasteboard::writeObjects(const std::vector<std::shared_ptr<const Writer>>& writers) {
    bool added = false;
    for (const auto& writer : writers) {
        if (!writer) continue;
        Item item;
        bool promised = false;
        for (const auto& offered : writer->writableTypes(*this)) {
            std::string type = canonicalType(offered);
            if (std::find(item.types_.begin(), item.types_.end(), type) != item.types_.end())
                continue;
            if (writer->writingOptions(offered, *this) & writingPromised) {
                item.values_.emplace_back();
                item.fetched_.push_back(false);
                promised = true;
            } else {
                auto plist = writer->propertyList(offered);
                if (!plist) continue;  // nothing to store under this type
                item.values_.push_back(std::move(plist));
                item.fetched_.push_back(true);
            }
            item.types_.push_back(std::move(type));
            item.writerTypes_.push_back(offered);
        }
        if (item.types_.empty()) continue;
        if (promised) item.writer_ = writer;
        items_.push_back(std::move(item));
        added = true;
    }
    ++changeCount_;
    return added;
}

std::optional<PropertyList> Pasteboard::propertyListForType(const std::string& type) const {
    for (const auto& item : items_) {
        if (item.hasType(type)) return item.propertyListForType(type);
    }
    return std::nullopt;
}

std::optional<std::string> Pasteboard::dataForType(const std::string& type) const {
    auto plist = propertyListForType(type);
    if (!plist) return std::nullopt;
    return bytesOf(*plist);
}

std::vector<FileURL> Pasteboard::readFileURLs() const {
    std::vector<FileURL> urls;
    for (const auto& item : items_) {
        auto list = item.dataForType(uriListType);
        if (!list) continue;
        // RFC 2483: one URI per line, CRLF (a bare LF is tolerated), "#" starts
        // a comment line. An item stands for one URL: its first.
        std::size_t start = 0;
        while (start < list->size()) {
            std::size_t end = list->find('\n', start);
            if (end == std::string::npos) end = list->size();
            std::string line = list->substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            start = end + 1;
            if (line.empty() || line.front() == '#') continue;
            if (auto url = FileURL::fromString(line)) urls.push_back(std::move(*url));
            break;
        }
    }
    return urls;
}

}  // namespace pasteboard
