// The receiving end of a transfer: how a response head is read, and what the receiver keeps,
// refuses and reports for the pieces of a body.
#include <gtest/gtest.h>

#include <algorithm>

#include "digest.h"
#include "receive.h"
#include "signature.h"
#include "support.h"

namespace {

using support::fs::path;

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

ResponseHead head_of(const std::string& text) {
    const std::optional<ResponseHead> head = parse_response_head(text);
    EXPECT_TRUE(head) << text;
    return head.value_or(ResponseHead{});
}

TEST(ResponseHead, StatusAndFieldsAreReadWithEitherLineEnd) {
    for (const std::string end : {"\r\n", "\n"}) {
        const ResponseHead head =
            head_of("HTTP/1.1 206 Partial Content" + end + "ETag:  \"v1\" " + end +
                    "content-length: 12" + end + end + "Not-A-Field: body" + end);
        EXPECT_EQ(head.status, 206);
        EXPECT_EQ(head.field("etag"), "\"v1\"");
        EXPECT_EQ(head.field("Content-Length"), "12");
        EXPECT_FALSE(head.field("Not-A-Field"));
    }
    EXPECT_EQ(head_of("HTTP/2 404").status, 404);
    for (const std::string text :
         {"", "220 FTP ready\r\n", "HTTP/1.1 2000 OK\r\n", "HTTP/1.1\r\n", "HTTP/1.1 20x OK\r\n"}) {
        EXPECT_FALSE(parse_response_head(text)) << text;
    }
}

TEST(ResponseHead, BodyLengthIsOnlyWhatArrivesAsSent) {
    EXPECT_EQ(head_of("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n").body_length(), 1000u);
    EXPECT_FALSE(head_of("HTTP/1.1 200 OK\r\n").body_length());
    EXPECT_FALSE(head_of("HTTP/1.1 200 OK\r\nContent-Length: 1e3\r\n").body_length());
    // Chunked or encoded, the length on the wire is not the length received.
    EXPECT_FALSE(head_of("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n")
                     .body_length());
    EXPECT_FALSE(head_of("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 5\r\n")
                     .body_length());
    EXPECT_EQ(head_of("HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nContent-Length: 5\r\n")
                  .body_length(),
              5u);

    const ResponseHead partial = head_of("HTTP/1.1 206 x\r\nContent-Range: bytes 100-199/1000\r\n");
    ASSERT_TRUE(partial.content_range());
    EXPECT_EQ(partial.content_range()->first, 100u);
    EXPECT_EQ(partial.content_range()->last, 199u);
    EXPECT_EQ(partial.content_range()->total, 1000u);
    EXPECT_EQ(partial.body_length(), 100u);
    EXPECT_FALSE(
        head_of("HTTP/1.1 206 x\r\nContent-Range: bytes 0-9/*\r\n").content_range()->total);
    for (const std::string range : {"bytes 9-0/10", "bytes 0-10/10", "items 0-1/2", "bytes 0-/5"}) {
        EXPECT_FALSE(head_of("HTTP/1.1 206 x\r\nContent-Range: " + range + "\r\n").content_range())
            << range;
    }
}

TEST(ResponseHead, RangeValidatorIsAStrongTagElseTheDate) {
    const std::string date = "Last-Modified: Wed, 21 Oct 2026 07:28:00 GMT\r\n";
    EXPECT_EQ(range_validator(head_of("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\n" + date)), "\"v1\"");
    EXPECT_EQ(range_validator(head_of("HTTP/1.1 200 OK\r\nETag: W/\"v1\"\r\n" + date)),
              "Wed, 21 Oct 2026 07:28:00 GMT");
    EXPECT_EQ(range_validator(head_of("HTTP/1.1 200 OK\r\nETag: W/\"v1\"\r\n")), "");
    // Nothing that could break a request header goes back to the server.
    EXPECT_EQ(range_validator(head_of("HTTP/1.1 200 OK\r\nETag: \"v\x01\"\r\n")), "");
}

// Logged: a resumed body says so in the log.
struct Receiver : support::LoggedTest {
    path file = dir / "pkg.zip.download";

    std::string written() const { return support::read_file(file); }
};

TEST_F(Receiver, KeepsAndHashesEveryPieceInOrder) {
    // Whatever was at the name goes first.
    support::write_file(file, "stale content, longer than the body");
    Sha256 sha256;
    BodyReceiver body(file, BodyLimit::at_most(3), {&sha256});
    ASSERT_EQ(body.start(), 0);
    ASSERT_TRUE(body.accept_head(head_of("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n")));
    ASSERT_TRUE(body.take("a", 1));
    ASSERT_TRUE(body.take("bc", 2));
    EXPECT_EQ(body.finish(0), 0);
    EXPECT_EQ(body.received(), 3u);
    EXPECT_EQ(written(), "abc");
    EXPECT_EQ(to_hex(sha256.finish().value()), kAbcDigest);
}

TEST_F(Receiver, HashesABodyOfManyBlocksAsAWhole) {
    std::string bytes((std::size_t{3} << 20) + 5, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 4099);
    }
    Sha256 whole;
    ASSERT_TRUE(whole.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    Sha256 sha256;
    Blake2b512 blake2b;
    BodyReceiver body(file, BodyLimit::at_most(-1), {&sha256, &blake2b});
    ASSERT_EQ(body.start(), 0);
    // Pieces that do not line up with the blocks the digests are fed in.
    for (std::size_t at = 0; at < bytes.size(); at += 700001) {
        ASSERT_TRUE(body.take(bytes.data() + at, std::min<std::size_t>(700001, bytes.size() - at)));
    }
    EXPECT_EQ(body.finish(0), 0);
    EXPECT_EQ(sha256.finish(), whole.finish());
    Blake2b512 read_back;
    ASSERT_TRUE(feed_file(file, {&read_back}));
    EXPECT_EQ(blake2b.finish(), read_back.finish());
}

TEST_F(Receiver, NeverHoldsMoreThanAllowed) {
    BodyReceiver body(file, BodyLimit::at_most(4), {});
    ASSERT_EQ(body.start(), 0);
    ASSERT_TRUE(body.take("abc", 3));
    EXPECT_FALSE(body.take("de", 2));
    EXPECT_TRUE(body.refused());
    // Nothing more is taken once refused, even what would fit.
    EXPECT_FALSE(body.take("d", 1));
    EXPECT_EQ(body.finish(0), transfer_code::aborted);
    EXPECT_EQ(body.received(), 3u);
    EXPECT_EQ(written(), "abc");
}

TEST_F(Receiver, RefusesAHeadThatCannotLeadToThePackage) {
    struct Case {
        std::string head;
        std::int32_t code;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n", transfer_code::download_failure},
        {"HTTP/1.1 304 Not Modified\r\n", transfer_code::download_failure},
        {"HTTP/1.1 101 Switching Protocols\r\n", transfer_code::download_failure},
        {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n", transfer_code::aborted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        BodyReceiver body(file, BodyLimit::at_most(10), {});
        ASSERT_EQ(body.start(), 0);
        EXPECT_FALSE(body.accept_head(head_of(c.head)));
        EXPECT_FALSE(body.take("abc", 3));
        EXPECT_EQ(body.finish(0), c.code);
        EXPECT_EQ(body.received(), 0u);
    }
}

TEST_F(Receiver, ReportsABodyShorterThanAnnounced) {
    BodyReceiver body(file, BodyLimit::at_most(-1), {});
    ASSERT_EQ(body.start(), 0);
    ASSERT_TRUE(body.accept_head(head_of("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n")));
    ASSERT_TRUE(body.take("abc", 3));
    EXPECT_EQ(body.finish(0), transfer_code::download_failure);
}

TEST_F(Receiver, A2xxBodyShorterThanItsExactLengthEndedEarly) {
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
    {
        BodyReceiver body(file, BodyLimit::exactly(4), {});
        ASSERT_EQ(body.start(), 0);
        ASSERT_TRUE(body.accept_head(head_of(chunked)));
        ASSERT_TRUE(body.take("abc", 3));
        EXPECT_EQ(body.finish(0), transfer_code::download_failure);
        ASSERT_TRUE(body.worth_keeping());
        EXPECT_EQ(body.worth_keeping()->kept, 3u);
    }
    // A bound alone is no length to reach.
    BodyReceiver body(file, BodyLimit::at_most(4), {});
    ASSERT_EQ(body.start(), 0);
    ASSERT_TRUE(body.accept_head(head_of(chunked)));
    ASSERT_TRUE(body.take("abc", 3));
    EXPECT_EQ(body.finish(0), 0);
}

TEST_F(Receiver, AnEncodedBodyIsNeverKeptNorContinued) {
    const std::string gzip = "Content-Encoding: gzip\r\n";
    {
        BodyReceiver body(file, BodyLimit::exactly(10), {});
        ASSERT_EQ(body.start(), 0);
        ASSERT_TRUE(body.accept_head(
            head_of("HTTP/1.1 200 OK\r\n" + gzip + "Content-Length: 8\r\nETag: \"v1\"\r\n")));
        ASSERT_TRUE(body.take("abc", 3));
        EXPECT_EQ(body.finish(transfer_code::download_failure), transfer_code::download_failure);
        EXPECT_FALSE(body.worth_keeping());
    }
    // A range of encoded bytes can't follow the decoded ones kept.
    support::write_file(file, "ab");
    BodyReceiver body(file, BodyLimit::exactly(3), {}, ResumePoint{2, "\"v1\""});
    ASSERT_EQ(body.start(), 0);
    EXPECT_FALSE(
        body.accept_head(head_of("HTTP/1.1 206 x\r\n" + gzip + "Content-Range: bytes 2-2/3\r\n")));
    EXPECT_EQ(body.finish(0), transfer_code::range_refused);
}

TEST_F(Receiver, PassesOnTheTransfersOwnFailure) {
    BodyReceiver body(file, BodyLimit::at_most(-1), {});
    ASSERT_EQ(body.start(), 0);
    ASSERT_TRUE(body.take("abc", 3));
    EXPECT_EQ(body.finish(transfer_code::timed_out), transfer_code::timed_out);
}

// A failure on this side ends the run: another server would meet the same disk. One of the
// server's, or of the transfer, leaves the other URLs to be tried.
TEST_F(Receiver, OnlyAFailureOnThisSideEndsTheRun) {
    {
        BodyReceiver body(dir / "missing" / "pkg.zip.download", BodyLimit::at_most(-1), {});
        EXPECT_NE(body.start(), 0);
        EXPECT_TRUE(body.failed_locally());
    }
    {
        BodyReceiver refused_head(file, BodyLimit::at_most(10), {});
        ASSERT_EQ(refused_head.start(), 0);
        EXPECT_FALSE(refused_head.accept_head(head_of("HTTP/1.1 404 Not Found\r\n")));
        EXPECT_NE(refused_head.finish(0), 0);
        EXPECT_FALSE(refused_head.failed_locally());
    }
    {
        BodyReceiver too_long(file, BodyLimit::at_most(2), {});
        ASSERT_EQ(too_long.start(), 0);
        EXPECT_FALSE(too_long.take("abc", 3));
        EXPECT_NE(too_long.finish(0), 0);
        EXPECT_FALSE(too_long.failed_locally());
    }
    {
        BodyReceiver cut(file, BodyLimit::at_most(-1), {});
        ASSERT_EQ(cut.start(), 0);
        ASSERT_TRUE(cut.take("abc", 3));
        EXPECT_NE(cut.finish(transfer_code::timed_out), 0);
        EXPECT_FALSE(cut.failed_locally());
    }
}

TEST_F(Receiver, ContinuesKeptBytesOnlyWhereTheServerDoes) {
    const ResumePoint kept{2, "\"v1\""};
    // The rest of the body, announced within the bound, the kept bytes counted.
    {
        support::write_file(file, "ab");
        Sha256 sha256;
        BodyReceiver body(file, BodyLimit::at_most(3), {&sha256}, kept);
        ASSERT_EQ(body.start(), 0);
        ASSERT_TRUE(body.accept_head(
            head_of("HTTP/1.1 206 x\r\nContent-Range: bytes 2-2/3\r\nContent-Length: 1\r\n")));
        ASSERT_TRUE(body.take("c", 1));
        EXPECT_EQ(body.finish(0), 0);
        EXPECT_EQ(body.received(), 3u);
        EXPECT_EQ(to_hex(sha256.finish().value()), kAbcDigest);
    }
    EXPECT_EQ(written(), "abc");
    EXPECT_EQ(log(), support::Lines({"info Resuming download at byte 2"}));
    // The whole body instead: taken from the start.
    {
        support::write_file(file, "xy");
        BodyReceiver body(file, BodyLimit::at_most(3), {}, kept);
        ASSERT_EQ(body.start(), 0);
        ASSERT_TRUE(body.accept_head(head_of("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n")));
        ASSERT_TRUE(body.take("abc", 3));
        EXPECT_EQ(body.finish(0), 0);
    }
    EXPECT_EQ(written(), "abc");
    struct Case {
        std::string head;
        std::int32_t code;
        bool kept_as_they_were;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 416 x\r\n", transfer_code::range_refused, false},
        {"HTTP/1.1 206 x\r\nContent-Range: bytes 0-2/3\r\n", transfer_code::range_refused, false},
        {"HTTP/1.1 206 x\r\nContent-Range: bytes 2-3/4\r\n", transfer_code::aborted, false},
        {"HTTP/1.1 503 x\r\n", transfer_code::download_failure, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        support::write_file(file, "ab");
        BodyReceiver body(file, BodyLimit::at_most(3), {}, kept);
        ASSERT_EQ(body.start(), 0);
        EXPECT_FALSE(body.accept_head(head_of(c.head)));
        EXPECT_EQ(body.finish(0), c.code);
        EXPECT_EQ(body.worth_keeping().has_value(), c.kept_as_they_were);
    }
}

TEST_F(Receiver, WhatEndedEarlyOnTheNetworksSideIsWorthKeeping) {
    {
        BodyReceiver body(file, BodyLimit::at_most(10), {});
        ASSERT_EQ(body.start(), 0);
        ASSERT_TRUE(
            body.accept_head(head_of("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nETag: \"v2\"\r\n")));
        ASSERT_TRUE(body.take("abc", 3));
        EXPECT_EQ(body.finish(transfer_code::timed_out), transfer_code::timed_out);
        ASSERT_TRUE(body.worth_keeping());
        EXPECT_EQ(body.worth_keeping()->kept, 3u);
        EXPECT_EQ(body.worth_keeping()->validator, "\"v2\"");
    }
    {
        // Cut short by the bound: nothing is kept.
        BodyReceiver body(file, BodyLimit::at_most(2), {});
        ASSERT_EQ(body.start(), 0);
        ASSERT_TRUE(body.accept_head(head_of("HTTP/1.1 200 OK\r\n")));
        EXPECT_FALSE(body.take("abc", 3));
        body.finish(transfer_code::aborted);
        EXPECT_FALSE(body.worth_keeping());
    }
}

}  // namespace
