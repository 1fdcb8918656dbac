// Arbitrary SelectionRequests, property deletions and ticks through the drag's
// selection server, against a model of what each requestor is owed. Checked
// on every step (a violation traps):
// - each request is answered once, naming the property it wrote, or refused
//   with None; it is answered exactly when it is ours, names TARGETS or an
//   offered type whose data is there, and a transfer slot is free;
// - TARGETS lists TARGETS and the offered types; a type's answer is its bytes
//   whole, or INCR with the size and then chunks no larger than a request
//   carries that add up to exactly those bytes, ended by a zero-length one;
// - a deletion that no transfer waits for gets nothing; a new request on a
//   property ends the transfer that used it; stalled transfers are given up
//   after the timeout and only then;
// - the number of transfers stays bounded.
//
// Input: a header (chunk size, timeout, data sizes), then one event per 4
// bytes: kind, then three argument bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "xdnd/selection.h"

namespace {

using xdnd::ConversionRequest;
using xdnd::PropertyWrite;
using xdnd::SelectionServer;
using xdnd::WindowId;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    bool more() const { return at < size; }
};

constexpr unsigned long selectionAtom = 300, targetsAtom = 301, incrAtom = 302, multipleAtom = 303,
                        otherSelection = 1, firstType = 400;
constexpr WindowId owner = 0x200001, firstRequestor = 0x300001;
constexpr unsigned long ownedSince = 5000;
constexpr int typeCount = 4, requestors = 6, properties = 4;

struct Expected {  // an INCR transfer as the requestor sees it
    unsigned long type;
    std::string rest;   // bytes still owed
    bool done = false;  // all bytes sent; the zero-length chunk is still owed
    std::uint64_t lastActivity;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    std::size_t maxChunk = 1 + in.byte() % 64;
    std::uint64_t timeout = 1 + in.byte() * 4u;
    // Each type's bytes, or none (the data source refuses it).
    std::vector<std::string> types, bytes(typeCount);
    std::vector<bool> present(typeCount);
    std::vector<unsigned long> typeAtoms;
    for (int i = 0; i < typeCount; ++i) {
        std::uint8_t n = in.byte();
        types.push_back("type/" + std::to_string(i));
        typeAtoms.push_back(firstType + unsigned(i));
        present[std::size_t(i)] = n != 255;
        for (unsigned k = 0; k < unsigned(n) * 2u && n != 255; ++k)
            bytes[std::size_t(i)].push_back(char('a' + (k * 7 + unsigned(i)) % 26));
    }
    int asked = 0;
    SelectionServer::Offer offer{owner,
                                 ownedSince,
                                 types,
                                 typeAtoms,
                                 [&](const std::string& type) -> std::optional<std::string> {
                                     ++asked;
                                     int i = type.back() - '0';
                                     if (!present[std::size_t(i)]) return std::nullopt;
                                     return bytes[std::size_t(i)];
                                 },
                                 maxChunk};
    SelectionServer server({selectionAtom, targetsAtom, incrAtom, 4}, offer, timeout);
    std::map<std::pair<WindowId, unsigned long>, Expected> owed;
    std::uint64_t now = 1;

    auto requestorOf = [](std::uint8_t v) { return firstRequestor + v % requestors; };
    auto propertyOf = [](std::uint8_t v) {
        return v % (properties + 1) == 0 ? 0ul : 500ul + v % 5;
    };

    while (in.more()) {
        std::uint8_t kind = in.byte() % 4, a = in.byte(), b = in.byte(), c = in.byte();
        if (kind == 0) {  // SelectionRequest
            ConversionRequest rq;
            rq.owner = a & 0x80 ? WindowId(a) : owner;
            rq.requestor = requestorOf(a);
            rq.selection = b & 0x80 ? otherSelection : selectionAtom;
            static constexpr unsigned long someTargets[] = {
                0, targetsAtom, multipleAtom, incrAtom, 4, firstType + typeCount, 77};
            unsigned t = b % 16;
            rq.target = t < typeCount * 2 ? firstType + t % typeCount : someTargets[t % 7];
            rq.property = propertyOf(c);
            rq.time = c & 0x80 ? 0 : ownedSince - 64 + (c & 0x7f);
            bool ours = rq.selection == selectionAtom && rq.owner == owner &&
                        (rq.time == 0 || rq.time >= ownedSince);
            unsigned long property = rq.property ? rq.property : rq.target;
            std::size_t open = 0;
            for (const auto& [key, e] : owed)
                if (!(key.first == rq.requestor && key.second == property)) ++open;
            int typeIndex = rq.target >= firstType && rq.target < firstType + typeCount
                                ? int(rq.target - firstType)
                                : -1;
            bool answerable =
                ours && rq.target != 0 &&
                (rq.target == targetsAtom || (typeIndex >= 0 && present[std::size_t(typeIndex)]));
            bool incr =
                answerable && typeIndex >= 0 && bytes[std::size_t(typeIndex)].size() > maxChunk;
            if (incr && open >= SelectionServer::maxTransfers) answerable = false;

            int askedBefore = asked;
            xdnd::SelectionAnswer answer = server.request(now, rq);
            check(asked - askedBefore <= 1);
            check((answer.property != 0) == answer.write.has_value());
            check(answer.write.has_value() == answerable);
            // Whatever the outcome, a request that names a property ends the
            // transfer that used it.
            if (ours && rq.target != 0) owed.erase({rq.requestor, property});
            if (!answer.write) continue;
            const PropertyWrite& w = *answer.write;
            check(w.window == rq.requestor && w.property == property &&
                  answer.property == property);
            if (rq.target == targetsAtom) {
                check(w.type == 4 && w.format == 32 && w.bytes.empty());
                check(w.items.size() == typeAtoms.size() + 1 && w.items[0] == targetsAtom);
                for (std::size_t i = 0; i < typeAtoms.size(); ++i)
                    check(w.items[i + 1] == typeAtoms[i]);
            } else if (incr) {
                const std::string& all = bytes[std::size_t(typeIndex)];
                check(w.type == incrAtom && w.format == 32 && w.items.size() == 1 &&
                      w.items[0] == all.size());
                owed[{rq.requestor, property}] = Expected{rq.target, all, false, now};
            } else {
                check(w.type == rq.target && w.format == 8 && w.items.empty());
                check(w.bytes == bytes[std::size_t(typeIndex)]);
            }
        } else if (kind == 1) {  // the requestor deleted a property
            WindowId window = requestorOf(a);
            unsigned long property = propertyOf(b);
            std::optional<PropertyWrite> chunk = server.propertyDeleted(now, window, property);
            auto found = owed.find({window, property});
            if (found == owed.end()) {
                check(!chunk.has_value());
                continue;
            }
            check(chunk.has_value());
            Expected& e = found->second;
            check(chunk->window == window && chunk->property == property && chunk->type == e.type &&
                  chunk->format == 8 && chunk->items.empty());
            check(chunk->bytes.size() <= maxChunk);
            e.lastActivity = now;
            if (e.done) {
                check(chunk->bytes.empty());
                owed.erase(found);
                continue;
            }
            check(!chunk->bytes.empty());
            check(e.rest.compare(0, chunk->bytes.size(), chunk->bytes) == 0);
            e.rest.erase(0, chunk->bytes.size());
            if (e.rest.empty()) e.done = true;
        } else if (kind == 2) {  // time passes
            now += std::uint64_t(a) * (b & 1 ? 16u : 1u);
            std::vector<WindowId> given = server.tick(now);
            std::vector<WindowId> expected;
            for (auto it = owed.begin(); it != owed.end();) {
                if (now - it->second.lastActivity > timeout) {
                    expected.push_back(it->first.first);
                    it = owed.erase(it);
                } else {
                    ++it;
                }
            }
            check(given.size() == expected.size());
            for (WindowId w : expected) {
                bool listed = false;
                for (WindowId g : given)
                    listed = listed || g == w;
                check(listed);
            }
        } else {  // a requestor vanished: it never deletes again; it is no longer watched later
            (void)c;
        }
        // The server's idea of who is being waited on matches the model's.
        for (int r = 0; r < requestors; ++r) {
            WindowId w = firstRequestor + WindowId(r);
            bool waits = false;
            for (const auto& [key, e] : owed)
                waits = waits || key.first == w;
            check(server.watching(w) == waits);
        }
        check(owed.size() <= SelectionServer::maxTransfers);
        std::uint64_t next = server.nextDeadline();
        if (owed.empty()) {
            check(next == std::numeric_limits<std::uint64_t>::max());
        } else {
            std::uint64_t earliest = std::numeric_limits<std::uint64_t>::max();
            for (const auto& [key, e] : owed)
                earliest = std::min(earliest, e.lastActivity + timeout + 1);
            check(next == earliest);
        }
    }
    return 0;
}
