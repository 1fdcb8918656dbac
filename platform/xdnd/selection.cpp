#include "xdnd/selection.h"

#include <algorithm>
#include <limits>

namespace xdnd {

SelectionServer::SelectionServer(const SelectionAtoms& atoms, Offer offer,
                                 std::uint64_t transferTimeout)
    : atoms_(atoms), offer_(std::move(offer)), transferTimeout_(transferTimeout) {}

SelectionAnswer SelectionServer::request(std::uint64_t now, const ConversionRequest& rq) {
    SelectionAnswer answer;
    bool ours = rq.selection == atoms_.selection && rq.owner == offer_.owner &&
                (rq.time == 0 || rq.time >= offer_.ownedSince);
    if (!ours || rq.target == 0) return answer;
    unsigned long property = rq.property != 0 ? rq.property : rq.target;
    // A transfer into that property was abandoned: its chunks would be taken
    // for the new answer's.
    transfers_.erase(std::remove_if(transfers_.begin(), transfers_.end(),
                                    [&](const Transfer& t) {
                                        return t.requestor == rq.requestor &&
                                               t.property == property;
                                    }),
                     transfers_.end());
    if (rq.target == atoms_.targets) {
        PropertyWrite list{rq.requestor, property, atoms_.atom, 32, {}, {atoms_.targets}};
        list.items.insert(list.items.end(), offer_.typeAtoms.begin(), offer_.typeAtoms.end());
        answer.write = std::move(list);
    } else {
        answer.write = answerType(now, rq, property);
    }
    if (answer.write) answer.property = property;
    return answer;
}

std::optional<PropertyWrite> SelectionServer::answerType(std::uint64_t now,
                                                         const ConversionRequest& rq,
                                                         unsigned long property) {
    const auto& atoms = offer_.typeAtoms;
    auto it = std::find(atoms.begin(), atoms.end(), rq.target);
    if (it == atoms.end() || !offer_.data) return std::nullopt;
    std::optional<std::string> bytes = offer_.data(offer_.types[std::size_t(it - atoms.begin())]);
    if (!bytes) return std::nullopt;
    if (bytes->size() <= offer_.maxChunk)
        return PropertyWrite{rq.requestor, property, rq.target, 8, std::move(*bytes), {}};
    if (transfers_.size() >= maxTransfers) return std::nullopt;
    PropertyWrite incr{rq.requestor, property, atoms_.incr, 32, {}, {bytes->size()}};
    transfers_.push_back(Transfer{rq.requestor, property, rq.target, std::move(*bytes), 0, now});
    return incr;
}

std::optional<PropertyWrite> SelectionServer::propertyDeleted(std::uint64_t now, WindowId window,
                                                              unsigned long property) {
    for (std::size_t i = 0; i < transfers_.size(); ++i) {
        Transfer& t = transfers_[i];
        if (t.requestor != window || t.property != property) continue;
        std::size_t n = std::min(offer_.maxChunk, t.data.size() - t.offset);
        PropertyWrite chunk{t.requestor, t.property, t.type, 8, t.data.substr(t.offset, n), {}};
        t.offset += n;
        t.lastActivity = now;
        // The zero-length chunk (n == 0) ends the transfer.
        if (n == 0) transfers_.erase(transfers_.begin() + long(i));
        return chunk;
    }
    return std::nullopt;
}

std::vector<WindowId> SelectionServer::tick(std::uint64_t now) {
    std::vector<WindowId> dropped;
    for (std::size_t i = transfers_.size(); i-- > 0;) {
        if (now - transfers_[i].lastActivity <= transferTimeout_) continue;
        dropped.push_back(transfers_[i].requestor);
        transfers_.erase(transfers_.begin() + long(i));
    }
    return dropped;
}

bool SelectionServer::watching(WindowId window) const {
    return std::any_of(transfers_.begin(), transfers_.end(),
                       [window](const Transfer& t) { return t.requestor == window; });
}

std::uint64_t SelectionServer::nextDeadline() const {
    std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
    for (const auto& t : transfers_)
        next = std::min(next, t.lastActivity + transferTimeout_ + 1);
    return next;
}

}  // namespace xdnd
