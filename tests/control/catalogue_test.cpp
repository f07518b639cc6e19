// The command catalogue: every getter and setter reaches its own command ID with its own
// word count or payload; range and null checks send nothing; getters copy exactly their
// bytes and leave the caller's buffer alone on failure; temperatures convert right.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "lep3.h"
#include "virtual_bridge.h"

using namespace lep3::test;

namespace {

constexpr size_t kGuard = 8;
constexpr uint8_t kSentinel = 0xEE;

struct Getter {
    std::function<int(void *)> call;
    uint16_t id;
    uint8_t words;
};

template <typename T> Getter getter(int (*fn)(T *), uint16_t id, uint8_t words)
{
    return {[fn](void *out) { return fn(static_cast<T *>(out)); }, id, words};
}

const Getter kGetters[] = {
    getter(LEP3_GetSysStatus, 0x0204, 4),
    getter(LEP3_GetSysFlirSerialNumber, 0x0208, 4),
    getter(LEP3_GetSysCameraUpTime, 0x020C, 2),
    getter(LEP3_GetSysTelemetryEnableState, 0x0218, 2),
    getter(LEP3_GetSysFramesToAverage, 0x0224, 2),
    getter(LEP3_GetSysSceneStatistics, 0x022C, 4),
    getter(LEP3_GetSysSceneRoi, 0x0230, 4),
    getter(LEP3_GetSysThermalShutdownCount, 0x0234, 1),
    getter(LEP3_GetSysShutterPosition, 0x0238, 2),
    getter(LEP3_GetSysFfcShutterModeObj, 0x023C, 16),
    getter(LEP3_GetSysFFCStatus, 0x0244, 2),
    getter(LEP3_GetSysGainMode, 0x0248, 2),
    getter(LEP3_GetAgcEnableState, 0x0100, 2),
    getter(LEP3_GetAgcROI, 0x0108, 4),
    getter(LEP3_GetAgcHistogramStatistics, 0x010C, 4),
    getter(LEP_GetAgcCalcEnableState, 0x0148, 2),
    getter(LEP3_GetAgcHeqLinearPercent, 0x014C, 1),
    getter(LEP3_GetVidPcolorLut, 0x0304, 2),
    getter(LEP3_GetVidFreezeEnableState, 0x0324, 2),
    getter(LEP3_GetVidVideoOutputFormat, 0x0330, 2),
    getter(LEP3_GetOemVideoOutputFormat, 0x4828, 2),
    getter(LEP3_GetOemUserDefaultsState, 0x485C, 2),
    getter(LEP3_GetRadRBFOInternal0, 0x4E00, 8),
    getter(LEP3_GetRadRBFOExternal0, 0x4E04, 8),
    getter(LEP3_GetRadEnableState, 0x4E10, 2),
    getter(LEP3_GetRadRunStatus, 0x4E30, 2),
    getter(LEP3_GetUserRBFO, 0x0403, 8),
};

struct Setter {
    std::function<int(uint32_t)> call;
    uint16_t id;
    uint32_t max; // UINT32_MAX: sent unchecked
};

const Setter kSetters[] = {
    {LEP3_SetSysTelemetryEnableState, 0x0218, 1},
    {LEP_SetSysFramesToAverage, 0x0224, 7},
    {LEP3_SetSysGainMode, 0x0248, 2},
    {LEP3_SetAgcEnableState, 0x0100, 1},
    {LEP_SetAgcCalcEnableState, 0x0148, 1},
    {LEP3_SetVidPcolorLut, 0x0304, 8},
    {LEP3_SetVidFreezeEnableState, 0x0324, 1},
    {LEP3_SetVidVideoOutputFormat, 0x0330, 14},
    {LEP3_SetOemVideoOutputFormat, 0x4828, 14},
    {LEP3_SetRadEnableState, 0x4E10, UINT32_MAX},
    {[](uint32_t v) { return LEP3_SetSysShutterPosition(static_cast<int32_t>(v)); }, 0x0238, 3},
};

Bytes le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes counting(size_t n)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(0x10 + i);
    return bytes;
}

} // namespace

TEST(CatalogueGetters, EachAsksItsIdAndWordsAndCopiesExactlyThoseBytesEvenFromALongerReply)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &r) { return Answer{reply_packet(r.id, r.type, counting(40))}; };
    for (const Getter &g : kGetters) {
        const size_t size = size_t{2} * g.words;
        alignas(8) uint8_t buffer[kGuard + 32 + kGuard];
        std::memset(buffer, kSentinel, sizeof buffer);
        ASSERT_EQ(g.call(buffer + kGuard), 0) << std::hex << g.id;
        EXPECT_EQ(bridge.requests.back().id, g.id);
        EXPECT_EQ(bridge.requests.back().bytes,
                  (Bytes{0xAA, 0x55, 0x04, static_cast<uint8_t>(g.id >> 8), static_cast<uint8_t>(g.id), 0x00, g.words,
                         bridge.requests.back().bytes.back()}));
        Bytes expected(sizeof buffer, kSentinel);
        const Bytes data = counting(size);
        std::copy(data.begin(), data.end(), expected.begin() + kGuard);
        EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), expected) << std::hex << g.id;
    }
}

TEST(CatalogueGetters, NullOutputSendsNothingAndAFailureLeavesTheBufferAlone)
{
    VirtualBridge bridge;
    EXPECT_EQ(LEP3_GetSysAuxTemperatureCelcius(nullptr), -5);
    EXPECT_EQ(LEP3_GetSysFpaTemperatureCelcius(nullptr), -5);
    for (const Getter &g : kGetters)
        EXPECT_EQ(g.call(nullptr), -5) << std::hex << g.id;
    EXPECT_TRUE(bridge.requests.empty());

    bridge.answer = [](const Request &r) { return status_answer(r, 3); };
    testing::internal::CaptureStdout();
    alignas(8) uint8_t buffer[32];
    std::memset(buffer, kSentinel, sizeof buffer);
    for (const Getter &g : kGetters)
        EXPECT_EQ(g.call(buffer), -10) << std::hex << g.id;
    EXPECT_EQ(LEP3_GetSysFpaTemperatureCelcius(reinterpret_cast<float *>(buffer)), -10);
    (void)std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), Bytes(sizeof buffer, kSentinel));
}

TEST(CatalogueTemperature, CentiKelvinBecomesCelsius)
{
    VirtualBridge bridge;
    const std::pair<Bytes, float> cases[] = {
        {{0x77, 0x74}, 25.0f}, // 29815
        {{0x00, 0x00}, -273.15f},
        {{0xFF, 0xFF}, static_cast<float>(655.0 + 35 * 0.01 - 273.15)},
    };
    for (const auto &[reply, celsius] : cases) {
        bridge.regs[0x0210] = bridge.regs[0x0214] = reply;
        float aux = 0.0f;
        float fpa = 0.0f;
        ASSERT_EQ(LEP3_GetSysAuxTemperatureCelcius(&aux), 0);
        ASSERT_EQ(LEP3_GetSysFpaTemperatureCelcius(&fpa), 0);
        EXPECT_EQ(aux, celsius);
        EXPECT_EQ(fpa, celsius);
    }
    EXPECT_EQ(bridge.requests_for(0x0210).at(0).args, Bytes{1});
    EXPECT_EQ(bridge.requests_for(0x0214).at(0).args, Bytes{1});
}

TEST(CatalogueSetters, AboveTheLimitIsMinusThreeUnsentAndTheLimitItselfIsSent)
{
    VirtualBridge bridge;
    for (const Setter &s : kSetters) {
        bridge.requests.clear();
        if (s.max != UINT32_MAX) {
            EXPECT_EQ(s.call(s.max + 1), -3) << std::hex << s.id;
        }
        EXPECT_TRUE(bridge.requests.empty());
        ASSERT_EQ(s.call(s.max), 0) << std::hex << s.id;
        ASSERT_EQ(bridge.requests.size(), 1u);
        EXPECT_EQ(bridge.requests[0].id, s.id);
        EXPECT_EQ(bridge.requests[0].type, kSet);
        EXPECT_EQ(bridge.requests[0].args, le32(s.max));
    }
    EXPECT_EQ(LEP3_SetSysShutterPosition(-1), 0); // the check is signed
    EXPECT_EQ(bridge.requests.back().args, le32(0xFFFFFFFF));
}

TEST(CatalogueSetters, RecordsAndRbfoWordsTravelInMemoryOrder)
{
    VirtualBridge bridge;
    const Bytes roi{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07};
    ASSERT_EQ(LEP3_SetSysSceneRoi({0x0102, 0x0304, 0x0506, 0x0708}), 0);
    ASSERT_EQ(LEP3_SetAgcROI({0x0102, 0x0304, 0x0506, 0x0708}), 0);
    EXPECT_EQ(bridge.requests_for(0x0230).at(0).args, roi);
    EXPECT_EQ(bridge.requests_for(0x0108).at(0).args, roi);

    Bytes rbfo = le32(0x11223344);
    for (uint32_t word : {0x55667788u, 0x99AABBCCu, 0xDDEEFF00u})
        for (uint8_t b : le32(word))
            rbfo.push_back(b);
    ASSERT_EQ(LEP3_SetRadRBFOInternal0(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0);
    ASSERT_EQ(LEP3_SetRadRBFOExternal0(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0);
    ASSERT_EQ(LEP3_SetUserRBFO(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0);
    for (uint16_t id : {0x4E00, 0x4E04, 0x0403})
        EXPECT_EQ(bridge.requests_for(id).at(0).args, rbfo) << std::hex << id;
}

TEST(CatalogueRunners, EachRunsItsOwnId)
{
    VirtualBridge bridge;
    const std::pair<int (*)(), uint16_t> runners[] = {{LEP3_RunSysPing, 0x0200},
                                                      {LEP_RunFrameAverage, 0x0220},
                                                      {LEP3_RunOemUserDefaultsCopyToOtp, 0x485C},
                                                      {LEP3_RunOemUserDefaultsRestore, 0x485C}};
    for (const auto &[run, id] : runners) {
        ASSERT_EQ(run(), 0);
        EXPECT_EQ(bridge.requests.back().id, id);
        EXPECT_EQ(bridge.requests.back().type, kRun);
    }
}
