// The command catalogue: each getter and setter reaches its own command ID with its own
// word count or payload, range checks and null checks send nothing, getters copy exactly
// their bytes and leave the caller's buffer alone on failure, temperatures convert right.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lep3.h"
#include "virtual_bridge.h"

using lep3::test::Answer;
using lep3::test::Request;
using lep3::test::VirtualBridge;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr size_t kBuffer = 40; // more than the largest getter delivers
constexpr uint8_t kSentinel = 0xEE;

struct Getter {
    const char *name;
    std::function<int(void *)> call;
    uint16_t id;
    uint8_t words;
};

template <typename T> std::function<int(void *)> as_getter(int (*fn)(T *))
{
    return [fn](void *out) { return fn(static_cast<T *>(out)); };
}

#define GETTER(fn, id, words)                                                                                          \
    Getter                                                                                                             \
    {                                                                                                                  \
#fn, as_getter(fn), id, words                                                                                  \
    }

const std::vector<Getter> &getters()
{
    static const std::vector<Getter> all = {
        GETTER(LEP3_GetSysStatus, 0x0204, 4),
        GETTER(LEP3_GetSysFlirSerialNumber, 0x0208, 4),
        GETTER(LEP3_GetSysCameraUpTime, 0x020C, 2),
        GETTER(LEP3_GetSysTelemetryEnableState, 0x0218, 2),
        GETTER(LEP3_GetSysFramesToAverage, 0x0224, 2),
        GETTER(LEP3_GetSysSceneStatistics, 0x022C, 4),
        GETTER(LEP3_GetSysSceneRoi, 0x0230, 4),
        GETTER(LEP3_GetSysThermalShutdownCount, 0x0234, 1),
        GETTER(LEP3_GetSysShutterPosition, 0x0238, 2),
        GETTER(LEP3_GetSysFfcShutterModeObj, 0x023C, 16),
        GETTER(LEP3_GetSysFFCStatus, 0x0244, 2),
        GETTER(LEP3_GetSysGainMode, 0x0248, 2),
        GETTER(LEP3_GetAgcEnableState, 0x0100, 2),
        GETTER(LEP3_GetAgcROI, 0x0108, 4),
        GETTER(LEP3_GetAgcHistogramStatistics, 0x010C, 4),
        GETTER(LEP_GetAgcCalcEnableState, 0x0148, 2),
        GETTER(LEP3_GetAgcHeqLinearPercent, 0x014C, 1),
        GETTER(LEP3_GetVidPcolorLut, 0x0304, 2),
        GETTER(LEP3_GetVidFreezeEnableState, 0x0324, 2),
        GETTER(LEP3_GetVidVideoOutputFormat, 0x0330, 2),
        GETTER(LEP3_GetOemVideoOutputFormat, 0x4828, 2),
        GETTER(LEP3_GetOemUserDefaultsState, 0x485C, 2),
        GETTER(LEP3_GetRadRBFOInternal0, 0x4E00, 8),
        GETTER(LEP3_GetRadRBFOExternal0, 0x4E04, 8),
        GETTER(LEP3_GetRadEnableState, 0x4E10, 2),
        GETTER(LEP3_GetRadRunStatus, 0x4E30, 2),
        GETTER(LEP3_GetUserRBFO, 0x0403, 8),
        GETTER(LEP3_GetSysAuxTemperatureCelcius, 0x0210, 1),
        GETTER(LEP3_GetSysFpaTemperatureCelcius, 0x0214, 1),
    };
    return all;
}

bool is_temperature(const Getter &getter)
{
    return getter.id == 0x0210 || getter.id == 0x0214;
}

// A 32-bit value setter with its ID and its largest accepted value (UINT32_MAX: unchecked).
struct ValueSetter {
    const char *name;
    std::function<int(uint32_t)> call;
    uint16_t id;
    uint32_t max;
};

#define SETTER(fn, id, max)                                                                                            \
    ValueSetter                                                                                                        \
    {                                                                                                                  \
#fn, [](uint32_t v) { return fn(v); }, id, max                                                                 \
    }

const std::vector<ValueSetter> &value_setters()
{
    static const std::vector<ValueSetter> all = {
        SETTER(LEP3_SetSysTelemetryEnableState, 0x0218, 1),
        SETTER(LEP_SetSysFramesToAverage, 0x0224, 7),
        SETTER(LEP3_SetSysGainMode, 0x0248, 2),
        SETTER(LEP3_SetAgcEnableState, 0x0100, 1),
        SETTER(LEP_SetAgcCalcEnableState, 0x0148, 1),
        SETTER(LEP3_SetVidPcolorLut, 0x0304, 8),
        SETTER(LEP3_SetVidFreezeEnableState, 0x0324, 1),
        SETTER(LEP3_SetVidVideoOutputFormat, 0x0330, 14),
        SETTER(LEP3_SetOemVideoOutputFormat, 0x4828, 14),
        SETTER(LEP3_SetRadEnableState, 0x4E10, UINT32_MAX),
    };
    return all;
}

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

TEST(CatalogueGetters, EachAsksItsOwnIdAndWordCountAndCopiesExactlyThoseBytes)
{
    VirtualBridge bridge;
    for (const Getter &getter : getters()) {
        if (is_temperature(getter))
            continue;
        const size_t size = size_t{2} * getter.words;
        bridge.regs[getter.id] = counting(kBuffer); // the reply carries only what was asked
        bridge.requests.clear();
        alignas(8) uint8_t buffer[kBuffer + 8];
        std::memset(buffer, kSentinel, sizeof buffer);
        ASSERT_EQ(getter.call(buffer + 8), 0) << getter.name;
        ASSERT_EQ(bridge.requests.size(), 1u) << getter.name;
        EXPECT_EQ(bridge.requests[0].id, getter.id) << getter.name;
        EXPECT_EQ(bridge.requests[0].type, lep3::test::kGet) << getter.name;
        EXPECT_EQ(bridge.requests[0].args, Bytes{getter.words}) << getter.name;
        EXPECT_EQ(Bytes(buffer + 8, buffer + 8 + size), counting(size)) << getter.name;
        EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(8, kSentinel)) << getter.name;
        EXPECT_EQ(Bytes(buffer + 8 + size, buffer + sizeof buffer), Bytes(sizeof buffer - 8 - size, kSentinel))
            << getter.name;
    }
}

TEST(CatalogueGetters, NullOutputIsMinusFiveAndSendsNothing)
{
    VirtualBridge bridge;
    for (const Getter &getter : getters())
        EXPECT_EQ(getter.call(nullptr), -5) << getter.name;
    EXPECT_TRUE(bridge.requests.empty());
}

TEST(CatalogueGetters, FailedTransactionLeavesTheBufferUntouched)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &request) {
        return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x03})};
    };
    testing::internal::CaptureStdout();
    for (const Getter &getter : getters()) {
        alignas(8) uint8_t buffer[kBuffer];
        std::memset(buffer, kSentinel, sizeof buffer);
        EXPECT_EQ(getter.call(buffer), -10) << getter.name;
        EXPECT_EQ(Bytes(buffer, buffer + kBuffer), Bytes(kBuffer, kSentinel)) << getter.name;
    }
    (void)std::fflush(stdout);
    testing::internal::GetCapturedStdout();
}

TEST(CatalogueTemperature, CentiKelvinBecomesCelsius)
{
    VirtualBridge bridge;
    struct Case {
        Bytes reply;
        float celsius;
    };
    const Case cases[] = {
        {{0x77, 0x74}, 25.0f},                                          // 29815
        {{0x00, 0x00}, -273.15f},                                       // 0
        {{0xFF, 0xFF}, static_cast<float>(655.0 + 35 * 0.01 - 273.15)}, // 65535
        {{0xB1, 0x74}, static_cast<float>(298.0 + 73 * 0.01 - 273.15)},
    };
    for (const Case &c : cases) {
        bridge.regs[0x0210] = c.reply;
        bridge.regs[0x0214] = c.reply;
        float aux = 0.0f;
        float fpa = 0.0f;
        ASSERT_EQ(LEP3_GetSysAuxTemperatureCelcius(&aux), 0);
        ASSERT_EQ(LEP3_GetSysFpaTemperatureCelcius(&fpa), 0);
        EXPECT_EQ(aux, c.celsius);
        EXPECT_EQ(fpa, c.celsius);
    }
    EXPECT_EQ(bridge.requests_for(0x0210).at(0).args, Bytes{1});
    EXPECT_EQ(bridge.requests_for(0x0214).at(0).args, Bytes{1});
}

TEST(CatalogueSetters, ValueAboveTheLimitIsMinusThreeAndUnsentTheLimitItselfIsSent)
{
    VirtualBridge bridge;
    for (const ValueSetter &setter : value_setters()) {
        bridge.requests.clear();
        if (setter.max != UINT32_MAX) {
            EXPECT_EQ(setter.call(setter.max + 1), -3) << setter.name;
            EXPECT_TRUE(bridge.requests.empty()) << setter.name;
        }
        ASSERT_EQ(setter.call(setter.max), 0) << setter.name;
        ASSERT_EQ(bridge.requests.size(), 1u) << setter.name;
        EXPECT_EQ(bridge.requests[0].id, setter.id) << setter.name;
        EXPECT_EQ(bridge.requests[0].type, lep3::test::kSet) << setter.name;
        EXPECT_EQ(bridge.requests[0].args, le32(setter.max)) << setter.name;
    }
}

TEST(CatalogueSetters, ShutterPositionCheckIsSigned)
{
    VirtualBridge bridge;
    EXPECT_EQ(LEP3_SetSysShutterPosition(4), -3);
    EXPECT_TRUE(bridge.requests.empty());
    EXPECT_EQ(LEP3_SetSysShutterPosition(-1), 0);
    EXPECT_EQ(LEP3_SetSysShutterPosition(3), 0);
    const auto sent = bridge.requests_for(0x0238);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].args, le32(0xFFFFFFFF));
    EXPECT_EQ(sent[1].args, le32(3));
}

TEST(CatalogueSetters, RecordsAndRbfoWordsTravelInMemoryOrder)
{
    VirtualBridge bridge;
    const lep3_roi_t roi{0x0102, 0x0304, 0x0506, 0x0708};
    const Bytes roi_bytes{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07};
    ASSERT_EQ(LEP3_SetSysSceneRoi(roi), 0);
    ASSERT_EQ(LEP3_SetAgcROI(roi), 0);
    EXPECT_EQ(bridge.requests_for(0x0230).at(0).args, roi_bytes);
    EXPECT_EQ(bridge.requests_for(0x0108).at(0).args, roi_bytes);

    Bytes rbfo;
    for (uint32_t word : {0x11223344u, 0x55667788u, 0x99AABBCCu, 0xDDEEFF00u}) {
        const Bytes w = le32(word);
        rbfo.insert(rbfo.end(), w.begin(), w.end());
    }
    ASSERT_EQ(LEP3_SetRadRBFOInternal0(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0);
    ASSERT_EQ(LEP3_SetRadRBFOExternal0(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0);
    ASSERT_EQ(LEP3_SetUserRBFO(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0);
    EXPECT_EQ(bridge.requests_for(0x4E00).at(0).args, rbfo);
    EXPECT_EQ(bridge.requests_for(0x4E04).at(0).args, rbfo);
    EXPECT_EQ(bridge.requests_for(0x0403).at(0).args, rbfo);

    lep3_rbfo_t back{};
    ASSERT_EQ(LEP3_GetUserRBFO(&back), 0);
    EXPECT_EQ(back.r, 0x11223344u);
    EXPECT_EQ(back.o, 0xDDEEFF00u);
}

TEST(CatalogueRunners, EachRunsItsOwnId)
{
    VirtualBridge bridge;
    const std::pair<std::function<int()>, uint16_t> runners[] = {
        {LEP3_RunSysPing, 0x0200},
        {LEP_RunFrameAverage, 0x0220},
        {LEP3_RunOemUserDefaultsCopyToOtp, 0x485C},
        {LEP3_RunOemUserDefaultsRestore, 0x485C},
    };
    for (const auto &[run, id] : runners) {
        bridge.requests.clear();
        ASSERT_EQ(run(), 0);
        ASSERT_EQ(bridge.requests.size(), 1u);
        EXPECT_EQ(bridge.requests[0].id, id);
        EXPECT_EQ(bridge.requests[0].type, lep3::test::kRun);
        EXPECT_EQ(bridge.requests[0].bytes.size(), 7u);
    }
}
