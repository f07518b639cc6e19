// The camera's values by readable names, for "lep3 get" and "lep3 set": each name maps
// to the library's getter and, where the value can be written, its setter. The setters
// check their own ranges (result -3); the table only keeps the values a parameter can
// carry at all and the sentence that tells the user what is accepted. A value read comes
// as text for people and as JSON for scripts.
#pragma once

#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "hostkit/text_format.h"
#include "lep3.h"

namespace lep3tool {

// A value read from the camera.
struct SettingValue {
    std::string text;            // as "lep3 get" prints it
    nlohmann::ordered_json json; // a number, a string or an array of numbers
};

struct Setting {
    std::string_view name;
    std::string_view alias; // a second name, or empty
    std::string_view summary;
    int (*get)(SettingValue &value); // the library's result
    int (*set)(int64_t value);       // nullptr: read-only
    int64_t lo;                      // what the setter's parameter can carry
    int64_t hi;
    std::string_view accepts; // what the camera accepts, for the out-of-range sentence
};

namespace settings_detail {

inline constexpr int64_t kU32Max = std::numeric_limits<uint32_t>::max();
inline constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
inline constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();
inline constexpr int64_t kU16Max = std::numeric_limits<uint16_t>::max();

template <typename T> void set_number(SettingValue &value, T v)
{
    value.text = std::to_string(v);
    value.json = v;
}

template <auto Getter> int get_u32(SettingValue &value)
{
    uint32_t v = 0;
    const int r = Getter(&v);
    if (r == 0)
        set_number(value, v);
    return r;
}

template <auto Getter> int get_i32(SettingValue &value)
{
    int32_t v = 0;
    const int r = Getter(&v);
    if (r == 0)
        set_number(value, v);
    return r;
}

template <auto Getter> int get_u16(SettingValue &value)
{
    uint16_t v = 0;
    const int r = Getter(&v);
    if (r == 0)
        set_number(value, v);
    return r;
}

// Hundredths of a degree are all the camera reports.
template <auto Getter> int get_celsius(SettingValue &value)
{
    float v = 0;
    const int r = Getter(&v);
    if (r == 0) {
        value.text = format_text("%.2f", static_cast<double>(v));
        value.json = std::stod(value.text);
    }
    return r;
}

// Space-separated numbers, and the same as a JSON array.
inline void set_words(SettingValue &value, std::initializer_list<uint64_t> words)
{
    value.text.clear();
    value.json = nlohmann::ordered_json::array();
    for (const uint64_t w : words) {
        if (!value.text.empty())
            value.text += ' ';
        value.text += std::to_string(w);
        value.json.push_back(w);
    }
}

template <auto Getter> int get_rbfo(SettingValue &value)
{
    lep3_rbfo_t v{};
    const int r = Getter(&v);
    if (r == 0)
        set_words(value, {v.r, v.b, v.f, v.o});
    return r;
}

// The camera sends a region's words row first (start row, start column, end row, end
// column: 0 0 119 159 for the whole 160 x 120 frame); they are shown as the help names
// them, column first. lep3_roi_t's field names follow the other order, so the words are
// taken by position.
template <auto Getter> int get_roi(SettingValue &value)
{
    lep3_roi_t v{};
    const int r = Getter(&v);
    if (r == 0) {
        uint16_t words[4];
        static_assert(sizeof words == sizeof v);
        std::memcpy(words, &v, sizeof words);
        set_words(value, {words[1], words[0], words[3], words[2]});
    }
    return r;
}

inline int get_serial(SettingValue &value)
{
    uint64_t v = 0;
    const int r = LEP3_GetSysFlirSerialNumber(&v);
    if (r == 0) {
        value.text = format_text("0x%016" PRIx64, v);
        value.json = value.text;
    }
    return r;
}

inline int get_status(SettingValue &value)
{
    lep3_sys_status_t v{};
    const int r = LEP3_GetSysStatus(&v);
    if (r == 0)
        set_number(value, v.camera_status);
    return r;
}

// The camera counts its up-time in milliseconds.
inline int get_uptime(SettingValue &value)
{
    uint32_t ms = 0;
    const int r = LEP3_GetSysCameraUpTime(&ms);
    if (r == 0) {
        value.text = format_text("%.3f s", ms / 1000.0);
        value.json = ms / 1000.0;
    }
    return r;
}

template <auto Setter> int set_u32(int64_t value)
{
    return Setter(static_cast<uint32_t>(value));
}
template <auto Setter> int set_i32(int64_t value)
{
    return Setter(static_cast<int32_t>(value));
}

} // namespace settings_detail

// clang-format off
inline constexpr std::array kSettings = {
    // Writable values.
    Setting{"agc", "", "automatic gain control (0 off, 1 on)",
            settings_detail::get_u32<LEP3_GetAgcEnableState>, settings_detail::set_u32<LEP3_SetAgcEnableState>,
            0, settings_detail::kU32Max, "0 or 1"},
    Setting{"agc-calc", "", "AGC calculation (0 off, 1 on)",
            settings_detail::get_u32<LEP_GetAgcCalcEnableState>, settings_detail::set_u32<LEP_SetAgcCalcEnableState>,
            0, settings_detail::kU32Max, "0 or 1"},
    Setting{"heq-linear-percent", "", "linear share of the AGC's histogram equalisation",
            settings_detail::get_u16<LEP3_GetAgcHeqLinearPercent>, settings_detail::set_u32<LEP3_SetAgcHeqLinearPercent>,
            0, settings_detail::kU16Max, "0 to 65535"},
    Setting{"telemetry", "", "telemetry (0 off, 1 on)",
            settings_detail::get_u32<LEP3_GetSysTelemetryEnableState>,
            settings_detail::set_u32<LEP3_SetSysTelemetryEnableState>, 0, settings_detail::kU32Max, "0 or 1"},
    Setting{"frames-to-average", "", "frame averaging setting of the camera core",
            settings_detail::get_u32<LEP3_GetSysFramesToAverage>, settings_detail::set_u32<LEP_SetSysFramesToAverage>,
            0, settings_detail::kU32Max, "0 to 7"},
    Setting{"gain-mode", "", "gain mode of the camera core",
            settings_detail::get_u32<LEP3_GetSysGainMode>, settings_detail::set_u32<LEP3_SetSysGainMode>,
            0, settings_detail::kU32Max, "0 to 2"},
    Setting{"shutter-position", "", "shutter position",
            settings_detail::get_i32<LEP3_GetSysShutterPosition>, settings_detail::set_i32<LEP3_SetSysShutterPosition>,
            settings_detail::kI32Min, settings_detail::kI32Max, "at most 3"},
    Setting{"video-format", "vid", "video output format of the VID module",
            settings_detail::get_u32<LEP3_GetVidVideoOutputFormat>,
            settings_detail::set_u32<LEP3_SetVidVideoOutputFormat>, 0, settings_detail::kU32Max, "0 to 14"},
    Setting{"oem-video-format", "", "video output format of the OEM module",
            settings_detail::get_u32<LEP3_GetOemVideoOutputFormat>,
            settings_detail::set_u32<LEP3_SetOemVideoOutputFormat>, 0, settings_detail::kU32Max, "0 to 14"},
    Setting{"pcolor-lut", "", "colour look-up table of the camera core",
            settings_detail::get_u32<LEP3_GetVidPcolorLut>, settings_detail::set_u32<LEP3_SetVidPcolorLut>,
            0, settings_detail::kU32Max, "0 to 8"},
    Setting{"freeze", "", "freeze the video (0 off, 1 on)",
            settings_detail::get_u32<LEP3_GetVidFreezeEnableState>,
            settings_detail::set_u32<LEP3_SetVidFreezeEnableState>, 0, settings_detail::kU32Max, "0 or 1"},
    Setting{"radiometry", "", "radiometry (0 off, 1 on)",
            settings_detail::get_u32<LEP3_GetRadEnableState>, settings_detail::set_u32<LEP3_SetRadEnableState>,
            0, settings_detail::kU32Max, "any 32-bit value"},
    // Read-only values.
    Setting{"status", "", "camera state (0 ready)", settings_detail::get_status, nullptr, 0, 0, ""},
    Setting{"serial-number", "", "serial number of the camera core", settings_detail::get_serial, nullptr, 0, 0, ""},
    Setting{"uptime", "", "up-time of the camera core in seconds", settings_detail::get_uptime, nullptr, 0, 0, ""},
    Setting{"fpa-temperature", "", "focal plane array temperature in degrees Celsius",
            settings_detail::get_celsius<LEP3_GetSysFpaTemperatureCelcius>, nullptr, 0, 0, ""},
    Setting{"aux-temperature", "", "housing (AUX) temperature in degrees Celsius",
            settings_detail::get_celsius<LEP3_GetSysAuxTemperatureCelcius>, nullptr, 0, 0, ""},
    Setting{"ffc-status", "", "flat-field correction state (1 busy)",
            settings_detail::get_i32<LEP3_GetSysFFCStatus>, nullptr, 0, 0, ""},
    Setting{"rad-run-status", "", "radiometric FFC state (1 busy)",
            settings_detail::get_i32<LEP3_GetRadRunStatus>, nullptr, 0, 0, ""},
    Setting{"thermal-shutdown-count", "", "thermal shutdown counter",
            settings_detail::get_u16<LEP3_GetSysThermalShutdownCount>, nullptr, 0, 0, ""},
    Setting{"user-defaults-state", "", "state of the OEM user defaults",
            settings_detail::get_u32<LEP3_GetOemUserDefaultsState>, nullptr, 0, 0, ""},
    Setting{"scene-roi", "", "scene statistics region: start column, start row, end column, end row",
            settings_detail::get_roi<LEP3_GetSysSceneRoi>, nullptr, 0, 0, ""},
    Setting{"agc-roi", "", "AGC region: start column, start row, end column, end row",
            settings_detail::get_roi<LEP3_GetAgcROI>, nullptr, 0, 0, ""},
    Setting{"rbfo-internal", "", "radiometric parameters R B F O, internal set 0",
            settings_detail::get_rbfo<LEP3_GetRadRBFOInternal0>, nullptr, 0, 0, ""},
    Setting{"rbfo-external", "", "radiometric parameters R B F O, external set 0",
            settings_detail::get_rbfo<LEP3_GetRadRBFOExternal0>, nullptr, 0, 0, ""},
    Setting{"user-rbfo", "", "the bridge's stored user parameters R B F O",
            settings_detail::get_rbfo<LEP3_GetUserRBFO>, nullptr, 0, 0, ""},
};
// clang-format on

// The library's result for a value the camera does not accept.
inline constexpr int kSettingOutOfRange = -3;

// A value as `lep3 set` takes it: a whole number, or on, off, true, false. Throws
// UsageError with the sentence for the user when it is no number or out of the range.
int64_t parse_setting_value(const Setting &s, const std::string &text);
// "TEXT is out of range for NAME: it takes ...".
std::string out_of_range_message(const Setting &s, const std::string &text);

// The setting of a name or alias, or nullptr.
constexpr const Setting *find_setting(std::string_view name)
{
    for (const auto &s : kSettings)
        if (s.name == name || (!s.alias.empty() && s.alias == name))
            return &s;
    return nullptr;
}

} // namespace lep3tool
