// The command catalogue: every command reaches its own ID with its own word count or
// payload; range and null checks send nothing; getters copy exactly their bytes and
// leave the caller's buffer alone on failure; temperatures convert right.
#include "virtual_bridge.h"

using namespace lep3::test;

namespace {

using Getter = std::tuple<std::function<int(void *)>, uint16_t, uint8_t>; // call, ID, words

template <typename T> Getter g(int (*fn)(T *), uint16_t id, uint8_t words)
{
    return {[fn](void *out) { return fn(static_cast<T *>(out)); }, id, words};
}

} // namespace

// For each getter: a null output is -5 with nothing sent; a reply longer than asked for
// gives exactly the words asked for; a failure leaves the caller's buffer alone.
TEST(CatalogueGetters, EachAsksItsIdAndWordsCopiesExactlyThoseBytesAndIsNullChecked)
{
    // clang-format off
    const Getter getters[] = {
        g(LEP3_GetSysStatus, 0x0204, 4), g(LEP3_GetSysFlirSerialNumber, 0x0208, 4),
        g(LEP3_GetSysCameraUpTime, 0x020C, 2), g(LEP3_GetSysTelemetryEnableState, 0x0218, 2),
        g(LEP3_GetSysFramesToAverage, 0x0224, 2), g(LEP3_GetSysSceneStatistics, 0x022C, 4),
        g(LEP3_GetSysSceneRoi, 0x0230, 4), g(LEP3_GetSysThermalShutdownCount, 0x0234, 1),
        g(LEP3_GetSysShutterPosition, 0x0238, 2), g(LEP3_GetSysFfcShutterModeObj, 0x023C, 16),
        g(LEP3_GetSysFFCStatus, 0x0244, 2), g(LEP3_GetSysGainMode, 0x0248, 2), g(LEP3_GetAgcEnableState, 0x0100, 2),
        g(LEP3_GetAgcROI, 0x0108, 4), g(LEP3_GetAgcHistogramStatistics, 0x010C, 4),
        g(LEP_GetAgcCalcEnableState, 0x0148, 2), g(LEP3_GetAgcHeqLinearPercent, 0x014C, 1),
        g(LEP3_GetVidPcolorLut, 0x0304, 2), g(LEP3_GetVidFreezeEnableState, 0x0324, 2),
        g(LEP3_GetVidVideoOutputFormat, 0x0330, 2), g(LEP3_GetOemVideoOutputFormat, 0x4828, 2),
        g(LEP3_GetOemUserDefaultsState, 0x485C, 2), g(LEP3_GetRadRBFOInternal0, 0x4E00, 8),
        g(LEP3_GetRadRBFOExternal0, 0x4E04, 8), g(LEP3_GetRadEnableState, 0x4E10, 2),
        g(LEP3_GetRadRunStatus, 0x4E30, 2), g(LEP3_GetUserRBFO, 0x0403, 8)};
    // clang-format on
    VirtualBridge bridge;
    // The temperatures: one word of centi-kelvin, unsigned (29815 and 65535 here).
    float aux = 0, fpa = 0;
    bridge.regs = {{0x0210, {0x77, 0x74}}, {0x0214, {0xFF, 0xFF}}};
    EXPECT_EQ(LEP3_GetSysAuxTemperatureCelcius(&aux) + LEP3_GetSysFpaTemperatureCelcius(&fpa), 0);
    EXPECT_EQ(std::make_tuple(aux, fpa, bridge.requests.at(0).id, bridge.requests.at(1).id, bridge.requests.at(1).args),
              std::make_tuple(25.0f, static_cast<float>(655.35 - 273.15), 0x0210, 0x0214, Bytes{1}));
    EXPECT_EQ(LEP3_GetSysAuxTemperatureCelcius(nullptr) + LEP3_GetSysFpaTemperatureCelcius(nullptr), -10);
    bridge.requests.clear();
    Bytes reply(40);
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<uint8_t>(0x10 + i);
    for (const auto &[call, id, words] : getters) {
        SCOPED_TRACE(id);
        EXPECT_EQ(call(nullptr), -5);
        EXPECT_TRUE(bridge.requests.empty());
        Bytes buffer(8 + 32 + 8, 0xEE), expected = buffer; // guard bytes on either side
        bridge.answer = [&](const Request &r) { return status_answer(r, 3); };
        stdout_of([&] { EXPECT_EQ(call(buffer.data() + 8), -10); });
        EXPECT_EQ(buffer, expected);
        bridge.answer = [&](const Request &r) { return Answer{reply_packet(r.id, r.type, reply)}; };
        ASSERT_EQ(call(buffer.data() + 8), 0);
        const Request &sent = bridge.requests.back();
        EXPECT_EQ(std::make_tuple(sent.id, sent.type, sent.args), std::make_tuple(id, kGet, Bytes{words}));
        std::copy_n(reply.begin(), 2 * words, expected.begin() + 8);
        EXPECT_EQ(buffer, expected);
        bridge.requests.clear();
    }
}

// Setters at their limits and runners, each with the exact request it must send; records
// and RBFO words travel in memory order, the HEQ percent as its low two bytes.
TEST(CatalogueSetters, EachSendsItsOwnRequestAndAboveItsLimitIsMinusThreeUnsent)
{
    const lep3_ffc_shutter_mode_t obj{{1, 2, 3, 4, 5, 6, 7, 0x01020304}};
    const lep3_roi_t roi_record{0x0102, 0x0304, 0x0506, 0x0708};
    const Bytes roi{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}, all_ones{0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes rbfo{0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xCC, 0xBB, 0xAA, 0x99, 0x00, 0xFF, 0xEE, 0xDD};
    const auto max = [](uint32_t v) { return Bytes{static_cast<uint8_t>(v), 0, 0, 0}; };
    // clang-format off
#define SENT(call, id, args) {[&] { return call; }, id, args}
    const std::tuple<std::function<int()>, uint16_t, Bytes> sent[] = { // a run sends no payload
        SENT(LEP3_SetSysTelemetryEnableState(1), 0x0218, max(1)), SENT(LEP_SetSysFramesToAverage(7), 0x0224, max(7)),
        SENT(LEP3_SetSysGainMode(2), 0x0248, max(2)), SENT(LEP3_SetAgcEnableState(1), 0x0100, max(1)),
        SENT(LEP_SetAgcCalcEnableState(1), 0x0148, max(1)), SENT(LEP3_SetVidPcolorLut(8), 0x0304, max(8)),
        SENT(LEP3_SetVidFreezeEnableState(1), 0x0324, max(1)), SENT(LEP3_SetSysShutterPosition(3), 0x0238, max(3)),
        SENT(LEP3_SetVidVideoOutputFormat(14), 0x0330, max(14)), SENT(LEP3_SetOemVideoOutputFormat(14), 0x4828, max(14)),
        SENT(LEP3_SetSysShutterPosition(-1), 0x0238, all_ones),     // signed check
        SENT(LEP3_SetRadEnableState(0xFFFFFFFF), 0x4E10, all_ones), // unchecked
        SENT(LEP3_SetSysSceneRoi(roi_record), 0x0230, roi), SENT(LEP3_SetAgcROI(roi_record), 0x0108, roi),
        SENT(LEP3_SetRadRBFOInternal0(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0x4E00, rbfo),
        SENT(LEP3_SetRadRBFOExternal0(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0x4E04, rbfo),
        SENT(LEP3_SetUserRBFO(0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00), 0x0403, rbfo),
        SENT(LEP3_SetAgcHeqLinearPercent(0x12345), 0x014C, (Bytes{0x45, 0x23})),
        SENT(LEP3_SetSysFfcShutterModeObj(obj), 0x023C, bytes_of(obj)), SENT(LEP3_RunSysPing(), 0x0200, {}),
        SENT(LEP_RunFrameAverage(), 0x0220, {}), SENT(LEP3_RunOemUserDefaultsCopyToOtp(), 0x485C, {}),
        SENT(LEP3_RunOemUserDefaultsRestore(), 0x485C, {})};
#undef SENT
    // clang-format on
    VirtualBridge bridge;
    for (const auto &[call, id, args] : sent) {
        SCOPED_TRACE(testing::Message() << id << " " << args.size());
        bridge.requests.clear();
        ASSERT_EQ(call(), 0);
        ASSERT_EQ(bridge.requests.size(), 1u);
        EXPECT_EQ(std::make_tuple(bridge.requests[0].id, bridge.requests[0].type, bridge.requests[0].args),
                  std::make_tuple(id, args.empty() ? kRun : kSet, args));
    }
    bridge.requests.clear();
    for (int result : {LEP3_SetSysTelemetryEnableState(2), LEP_SetSysFramesToAverage(8), LEP3_SetSysGainMode(3),
                       LEP3_SetAgcEnableState(2), LEP_SetAgcCalcEnableState(2), LEP3_SetVidPcolorLut(9),
                       LEP3_SetVidFreezeEnableState(2), LEP3_SetVidVideoOutputFormat(15),
                       LEP3_SetOemVideoOutputFormat(15), LEP3_SetSysShutterPosition(4), LEP_RunSysAverageFrames(8)})
        EXPECT_EQ(result, -3);
    EXPECT_TRUE(bridge.requests.empty());
}
