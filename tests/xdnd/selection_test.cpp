// The drag's selection server on plain values, without an X server: TARGETS,
// the offered types, refusals, and INCR transfers in chunks, including one
// whose requestor stalls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xdnd/selection.h"

namespace {

constexpr unsigned long selection = 100, targets = 101, incr = 102;
constexpr unsigned long uriList = 200, text = 201, png = 202;
constexpr xdnd::WindowId owner = 7, peer = 8;
constexpr unsigned long ownedSince = 5000;

struct XdndSelectionServer : ::testing::Test {
    std::vector<std::string> asked;
    std::string big = std::string(2500, 'x') + "end";

    xdnd::SelectionServer make(std::size_t maxChunk = 1000) {
        xdnd::SelectionServer::Offer offer;
        offer.owner = owner;
        offer.ownedSince = ownedSince;
        offer.types = {"text/uri-list", "text/plain"};
        offer.typeAtoms = {uriList, text};
        offer.data = [this](const std::string& type) -> std::optional<std::string> {
            asked.push_back(type);
            if (type == "text/plain") return std::nullopt;  // the source has nothing
            return big;
        };
        offer.maxChunk = maxChunk;
        return xdnd::SelectionServer({selection, targets, incr, 4}, std::move(offer), 10000);
    }

    static xdnd::ConversionRequest ask(unsigned long target, unsigned long property = 300,
                                       unsigned long time = 0) {
        return {owner, peer, selection, target, property, time};
    }
};

TEST_F(XdndSelectionServer, TargetsListsTargetsThenEveryOfferedType) {
    auto server = make();
    auto answer = server.request(0, ask(targets));
    ASSERT_TRUE(answer.write.has_value());
    EXPECT_EQ(answer.property, 300u);
    EXPECT_EQ(answer.write->window, peer);
    EXPECT_EQ(answer.write->type, 4u);
    EXPECT_EQ(answer.write->format, 32);
    EXPECT_EQ(answer.write->items, (std::vector<unsigned long>{targets, uriList, text}));
    EXPECT_TRUE(asked.empty());
    // An obsolete client names no property: the target is used.
    EXPECT_EQ(server.request(0, ask(targets, 0)).property, targets);
}

TEST_F(XdndSelectionServer, AnOfferedTypeGetsItsBytesUnderItsOwnType) {
    auto server = make(4096);
    auto answer = server.request(0, ask(uriList));
    ASSERT_TRUE(answer.write.has_value());
    EXPECT_EQ(answer.property, 300u);
    EXPECT_EQ(answer.write->type, uriList);
    EXPECT_EQ(answer.write->format, 8);
    EXPECT_EQ(answer.write->bytes, big);
    EXPECT_EQ(asked, std::vector<std::string>{"text/uri-list"});
    EXPECT_FALSE(server.watching(peer));
}

TEST_F(XdndSelectionServer, RefusesWhatItDoesNotOffer) {
    auto server = make(4096);
    auto refused = [&](const xdnd::ConversionRequest& rq) {
        auto answer = server.request(0, rq);
        return answer.property == 0 && !answer.write;
    };
    EXPECT_TRUE(refused(ask(png)));
    EXPECT_TRUE(refused(ask(0)));
    EXPECT_TRUE(refused(ask(text)));  // offered, but the source gives nothing
    EXPECT_TRUE(refused(ask(uriList, 300, ownedSince - 1)));  // older than the ownership
    EXPECT_TRUE(refused({owner, peer, selection + 1, uriList, 300, 0}));  // another selection
    EXPECT_TRUE(refused({owner + 1, peer, selection, uriList, 300, 0}));  // another owner
    EXPECT_FALSE(refused(ask(uriList, 300, ownedSince)));
    EXPECT_FALSE(refused(ask(uriList, 300, ownedSince + 1)));
}

TEST_F(XdndSelectionServer, LargeBytesGoInChunksEndedByAnEmptyOne) {
    auto server = make(1000);
    auto answer = server.request(0, ask(uriList));
    ASSERT_TRUE(answer.write.has_value());
    EXPECT_EQ(answer.property, 300u);
    EXPECT_EQ(answer.write->type, incr);
    EXPECT_EQ(answer.write->format, 32);
    EXPECT_EQ(answer.write->items, std::vector<unsigned long>{big.size()});
    EXPECT_TRUE(server.watching(peer));
    EXPECT_FALSE(server.propertyDeleted(1, peer, 301).has_value());      // another property
    EXPECT_FALSE(server.propertyDeleted(1, peer + 1, 300).has_value());  // another window

    std::string received;
    std::vector<std::size_t> sizes;
    for (int i = 0; i < 10; ++i) {
        auto chunk = server.propertyDeleted(std::uint64_t(i), peer, 300);
        ASSERT_TRUE(chunk.has_value());
        EXPECT_EQ(chunk->type, uriList);
        EXPECT_EQ(chunk->format, 8);
        sizes.push_back(chunk->bytes.size());
        received += chunk->bytes;
        if (chunk->bytes.empty()) break;
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1000, 1000, 503, 0}));
    EXPECT_EQ(received, big);
    EXPECT_FALSE(server.watching(peer));
    EXPECT_FALSE(server.propertyDeleted(20, peer, 300).has_value());
}

TEST_F(XdndSelectionServer, AStalledTransferIsGivenUp) {
    auto server = make(1000);
    server.request(0, ask(uriList, 300));
    server.request(0, ask(uriList, 301));
    server.propertyDeleted(4000, peer, 301);  // this one goes on
    EXPECT_EQ(server.nextDeadline(), 10001u);
    EXPECT_TRUE(server.tick(10000).empty());
    EXPECT_EQ(server.tick(10001), std::vector<xdnd::WindowId>{peer});
    EXPECT_TRUE(server.watching(peer));  // the other transfer still waits
    EXPECT_FALSE(server.propertyDeleted(10002, peer, 300).has_value());
    EXPECT_EQ(server.nextDeadline(), 14001u);
    EXPECT_EQ(server.tick(14001), std::vector<xdnd::WindowId>{peer});
    EXPECT_FALSE(server.watching(peer));
    EXPECT_EQ(server.nextDeadline(), UINT64_MAX);
}

TEST_F(XdndSelectionServer, ANewRequestOnAPropertyEndsItsTransfer) {
    auto server = make(1000);
    server.request(0, ask(uriList, 300));
    auto first = server.propertyDeleted(1, peer, 300);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->bytes, big.substr(0, 1000));
    // The requestor starts over into the same property: the new read gets
    // the bytes from the start, once.
    auto again = server.request(2, ask(uriList, 300));
    ASSERT_TRUE(again.write.has_value());
    EXPECT_EQ(again.write->type, incr);
    std::string received;
    for (int i = 0; i < 10; ++i) {
        auto chunk = server.propertyDeleted(std::uint64_t(3 + i), peer, 300);
        ASSERT_TRUE(chunk.has_value());
        received += chunk->bytes;
        if (chunk->bytes.empty()) break;
    }
    EXPECT_EQ(received, big);
    EXPECT_FALSE(server.watching(peer));
    // A small answer into a property that had a transfer ends it too.
    server.request(20, ask(uriList, 301));
    server.request(21, {owner, peer, selection, targets, 301, 0});
    EXPECT_FALSE(server.watching(peer));
    EXPECT_FALSE(server.propertyDeleted(22, peer, 301).has_value());
}

TEST_F(XdndSelectionServer, TransfersAreBounded) {
    auto server = make(1000);
    for (std::size_t i = 0; i < xdnd::SelectionServer::maxTransfers; ++i)
        EXPECT_TRUE(server.request(0, ask(uriList, 300 + i)).write.has_value()) << i;
    EXPECT_FALSE(server.request(0, ask(uriList, 400)).write.has_value());
    EXPECT_EQ(server.request(0, ask(uriList, 400)).property, 0u);
    // TARGETS needs no transfer; a finished transfer frees its slot.
    EXPECT_TRUE(server.request(0, {owner, peer, selection, targets, 401, 0}).write.has_value());
    while (true) {
        auto chunk = server.propertyDeleted(1, peer, 300);
        ASSERT_TRUE(chunk.has_value());
        if (chunk->bytes.empty()) break;
    }
    EXPECT_TRUE(server.request(1, ask(uriList, 400)).write.has_value());
}

}  // namespace
