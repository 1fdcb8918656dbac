// The drag's selection server: what a peer gets when it converts XdndSelection
// (ICCCM), at any time during the drag, not only after the drop.
//
// - TARGETS: the list TARGETS followed by every offered type (type ATOM).
// - An offered type: its bytes (format 8, the type as the property's type);
//   bytes larger than one request carries go by INCR: the property first
//   holds INCR and the size, then a chunk each time the requestor deletes
//   the property, and a zero-length chunk ends the transfer. A transfer whose
//   requestor stops deleting is given up after a timeout. A new request that
//   names the same requestor and property ends the transfer that used it (the
//   requestor gave it up; its deletions now belong to the new answer). At
//   most `maxTransfers` run at once; an INCR answer beyond them is refused.
// - Anything else, a type whose data source gives nothing, another selection
//   or owner, or a request older than the ownership: refused (SelectionNotify
//   with property None).
//
// No Xlib here: requests and answers are plain values, the X plumbing sets
// the properties and sends the SelectionNotify events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "xdnd/xdnd.h"

namespace xdnd {

// The atoms the server answers with, as the X server numbered them.
struct SelectionAtoms {
    unsigned long selection = 0;  // XdndSelection
    unsigned long targets = 0;    // TARGETS
    unsigned long incr = 0;       // INCR
    unsigned long atom = 4;       // ATOM, the type of the TARGETS list (XA_ATOM)
};

// The fields of a SelectionRequest event.
struct ConversionRequest {
    WindowId owner = 0;
    WindowId requestor = 0;
    unsigned long selection = 0;
    unsigned long target = 0;
    unsigned long property = 0;  // 0 (None) from obsolete clients: the target names it
    unsigned long time = 0;      // 0 (CurrentTime): now
};

// A property to replace on a requestor's window.
struct PropertyWrite {
    WindowId window = 0;
    unsigned long property = 0;
    unsigned long type = 0;
    int format = 8;
    std::string bytes;                 // format 8
    std::vector<unsigned long> items;  // format 32
};

// The answer to one request: the property written (when any), then a
// SelectionNotify to the requestor naming `property`, 0 (None) for a refusal.
struct SelectionAnswer {
    std::optional<PropertyWrite> write;
    unsigned long property = 0;
};

using DataSource = std::function<std::optional<std::string>(const std::string& type)>;

class SelectionServer {
  public:
    static constexpr std::size_t maxTransfers = 16;
    struct Offer {
        WindowId owner = 0;                    // the window that owns the selection
        unsigned long ownedSince = 0;          // the server time it took ownership
        std::vector<std::string> types;        // offered types, best first
        std::vector<unsigned long> typeAtoms;  // their atoms, in the same order
        DataSource data;
        std::size_t maxChunk = 0;  // the most bytes one property write carries
    };
    SelectionServer(const SelectionAtoms& atoms, Offer offer, std::uint64_t transferTimeout);

    SelectionAnswer request(std::uint64_t now, const ConversionRequest& rq);
    // The requestor deleted a property: the next chunk of its transfer, if any.
    std::optional<PropertyWrite> propertyDeleted(std::uint64_t now, WindowId window,
                                                 unsigned long property);
    // Gives up stalled transfers; returns their requestors.
    std::vector<WindowId> tick(std::uint64_t now);
    // Whether a transfer waits for the window's property deletions.
    bool watching(WindowId window) const;
    // The loop time at which tick() next has something to do; UINT64_MAX for never.
    std::uint64_t nextDeadline() const;

  private:
    // A selection answer too big for one request, sent in chunks.
    struct Transfer {
        WindowId requestor;
        unsigned long property;
        unsigned long type;
        std::string data;
        std::size_t offset;
        std::uint64_t lastActivity;
    };
    std::optional<PropertyWrite> answerType(std::uint64_t now, const ConversionRequest& rq,
                                            unsigned long property);

    SelectionAtoms atoms_;
    Offer offer_;
    std::uint64_t transferTimeout_;
    std::vector<Transfer> transfers_;
};

}  // namespace xdnd
