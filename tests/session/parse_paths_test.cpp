// The session's parser (parse_bytes on each read, frame data in runs) delivers what the
// classic pass delivers for the same bytes, however the reads split them: the same
// replies, frames, counters, parser variables and messages after every read, and the same
// re-initialisation threads.
#include <random>

#include "link/helpers.h"
#include "support/eventually.h"
#include "support/parse_paths.h"

namespace {

using Bytes = std::vector<uint8_t>;
using lep3::test::Delivered;
using lep3::test::Path;
using lep3::test::reply_packet;
using lep3::test::run_path;

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint16_t> ramp()
{
    std::vector<uint16_t> pixels(lep3::link::kPixels);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint16_t>((i * 37 + 0xAA55) & 0x3FFF);
    return pixels;
}

Bytes raw_frame()
{
    return lep3::test::raw_frame_packet(ramp());
}

// AA 55 FF 04 FF, 240 video packets of a head and 240 colour bytes (sync pairs among them).
Bytes rgb_frame()
{
    Bytes p{0xAA, 0x55, 0xFF, 0x04, 0xFF};
    for (int k = 0; k < lep3::link::kVideoPackets; ++k) {
        p.insert(p.end(), {uint8_t(k >> 8), uint8_t(k), 0, 0});
        for (int i = 0; i < lep3::link::kRgbPayload; ++i)
            p.push_back(i % 50 == 0 ? 0xAA : i % 50 == 1 ? 0x55 : uint8_t(k * 7 + i));
    }
    return lep3::test::checked(std::move(p));
}

const Bytes kSetReply = reply_packet(0x0204, 1, {0, 0});
const Bytes kRunReply = reply_packet(0x0208, 2, {0});
const Bytes kResetNotice = reply_packet(lep3::link::kResetNoticeId, 2, {0});
const Bytes kWideReply = reply_packet(0x4E24, 0, Bytes(32, 0x5A));

// Replies the table abandons or skips: a type above 2 ("error10"), no data byte ("error"),
// more data than the record holds (with a quoted reply and a frame start in the body), a
// skip that a third byte ends, a sync pair lost to AA AA 55.
Bytes faulty_packets()
{
    Bytes overlong = lep3::test::checked(Bytes{0xAA, 0x55, 60, 0x02, 0x04, 0x01} + Bytes(10, 0x11) + kSetReply +
                                         Bytes(60 - 3 - 10 - kSetReply.size(), 0x22));
    return Bytes{0xAA, 0x55, 0x05, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00} +
           Bytes{0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0x7E} + overlong + Bytes{0xAA, 0x55, 0x80, 0x02, 0x00, 0x07} +
           Bytes{0xAA, 0x55, 0x70, 0x01, 0x02} + rgb_frame() +
           Bytes{0xAA, 0xAA, 0x55, 0x04, 0x02, 0x08, 0x02, 0x00, 0x00} + kRunReply;
}

Bytes with_flips(Bytes bytes, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (int i = 0; i < 40; ++i)
        bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    return bytes;
}

struct Stream {
    const char *name;
    Bytes bytes;
};

std::vector<Stream> streams()
{
    const Bytes raw = raw_frame();
    const Bytes clean = kSetReply + raw + kRunReply + rgb_frame() + kWideReply + raw;
    return {
        {"clean", clean},
        {"corrupted", with_flips(clean, 7)},
        {"reset notices", kResetNotice + raw + kResetNotice + kResetNotice + kSetReply + raw + kResetNotice},
        {"faulty and over-long replies", faulty_packets() + raw},
        {"mid-frame start", Bytes(raw.begin() + 20011, raw.end()) + kSetReply + raw + kRunReply},
        {"garbage", Bytes{0x00, 0x55, 0xAA, 0x12, 0xAA} + Bytes(300, 0xAA) + kSetReply + Bytes(77, 0x55) + raw},
    };
}

// Reads of random sizes, as a port delivers them: 1 byte to several kilobytes.
std::vector<size_t> random_reads(size_t total, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<size_t> sizes;
    for (size_t sum = 0; sum < total;) {
        const size_t n = rng() % 4 == 0 ? 1 + rng() % 8 : 1 + rng() % 5000;
        sizes.push_back(n);
        sum += n;
    }
    return sizes;
}

void expect_same(const std::vector<Delivered> &classic, const std::vector<Delivered> &session, const char *what)
{
    ASSERT_EQ(classic.size(), session.size()) << what;
    for (size_t i = 0; i < classic.size(); ++i) {
        ASSERT_TRUE(classic[i] == session[i])
            << what << ": after read " << i << " the session has state " << session[i].words.state << ", frames "
            << session[i].words.desc.frame_number << ", messages '" << session[i].messages << "'; the classic pass "
            << classic[i].words.state << ", " << classic[i].words.desc.frame_number << ", '" << classic[i].messages
            << "'";
    }
}

TEST(ParsePathsTest, EveryStreamDeliversTheSameInWholeAndInRandomReads)
{
    for (const Stream &s : streams()) {
        const int threads_before = lep3::test::ParseRun::reinit_threads();
        uint64_t notices = 0;
        for (const uint32_t seed : {0U, 1U, 2U, 3U}) {
            const std::vector<size_t> reads =
                seed == 0 ? std::vector<size_t>{s.bytes.size()} : random_reads(s.bytes.size(), seed);
            const std::string what = std::string(s.name) + ", reads seed " + std::to_string(seed);
            const std::vector<Delivered> classic = run_path(Path::classic, s.bytes, reads);
            expect_same(classic, run_path(Path::session, s.bytes, reads), what.c_str());
            notices += 2 * classic.back().words.counters.reset_notices;
        }
        // One re-initialisation thread for every notice, down either path.
        EXPECT_TRUE(lep3::test::eventually([&] {
            return static_cast<uint64_t>(lep3::test::ParseRun::reinit_threads() - threads_before) == notices;
        })) << s.name;
    }
}

// Two reads, split at every offset of the packets around two frames and at their data's
// edges (deeper inside the data, every 97th offset): the session after each read matches the classic
// pass after the same bytes, which a byte at a time records once for all splits.
TEST(ParsePathsTest, TwoReadsSplitAtEveryOffsetDeliverTheSame)
{
    const Bytes head = kSetReply + kResetNotice + faulty_packets();
    const Bytes stream = head + raw_frame() + kRunReply + kWideReply;
    const std::vector<Delivered> bytewise = run_path(Path::classic, stream, std::vector<size_t>(stream.size(), 1));
    // The classic record over bytes [from, to): the last byte's, with every message since.
    std::string printed;
    std::vector<size_t> printed_before;
    for (const Delivered &d : bytewise) {
        printed_before.push_back(printed.size());
        printed += d.messages;
    }
    printed_before.push_back(printed.size());
    const auto classic_over = [&](size_t from, size_t to) {
        Delivered d = bytewise[to - 1];
        d.messages = printed.substr(printed_before[from], printed_before[to] - printed_before[from]);
        return d;
    };
    for (size_t k = 1; k < stream.size(); ++k) {
        const auto &before = bytewise[k - 1].words;
        const int total = before.state == 5 ? lep3::link::kRawPacketData : lep3::link::kRgbPacketData;
        const bool deep_in_frame =
            (before.state == 5 || before.state == 6) && before.image_index > 300 && before.image_index < total - 300;
        if (deep_in_frame && k % 97 != 0)
            continue;
        const std::vector<size_t> reads{k};
        const std::vector<Delivered> session = run_path(Path::session, stream, reads);
        ASSERT_EQ(session.size(), 2U);
        ASSERT_TRUE(session[0] == classic_over(0, k)) << "first read of a split at " << k;
        ASSERT_TRUE(session[1] == classic_over(k, stream.size())) << "second read of a split at " << k;
    }
}

} // namespace
