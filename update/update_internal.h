// Declarations shared inside the firmware update subsystem: the image file rules, the
// restart request, the verification CRC and the serial descriptors the update owns.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "lep3.h"
#include "link/link_internal.h"

namespace lep3::update {

// ---- Firmware image file -------------------------------------------------------------

// Every image file begins with this flag (no terminator on disk).
inline constexpr char kImageFlag[] = "SAMG55;V";
inline constexpr size_t kImageFlagSize = sizeof(kImageFlag) - 1;
// Image names are "SAMG55_V<major>.<minor>.talvor"; the suffix is scanned into a buffer of
// kImageSuffixBuffer bytes (a directory entry name is at most 255 characters).
inline constexpr char kImageNamePattern[] = "SAMG55_V%d.%d.%255s";
inline constexpr size_t kImageSuffixBuffer = 256;
inline constexpr char kImageSuffix[] = "talvor";
// The longest name that still fits the 64-byte path buffer behind the standard image
// directory (13 characters of "/tmp/mmcblk0/" and a terminator); longer names are skipped
// so that a configured directory doesn't change which file is picked.
inline constexpr size_t kMaxImageNameLength = 50;
// The header line ends at the first CR LF whose CR lies at offsets 0..255; without one
// the header is taken as 258 bytes long.
inline constexpr size_t kHeaderSearchLimit = 256;
inline constexpr size_t kHeaderLengthWithoutEnd = 258;
// The version is read from one line of at most 31 characters.
inline constexpr size_t kVersionLineSize = 32;

// True when a directory entry name follows the image naming rule.
bool is_firmware_image_name(const char *name);
// Length of the header line of an image file (the data section starts there).
size_t header_length(std::span<const uint8_t> file);
// An open image file, closed on every path out.
struct FileCloser {
    void operator()(FILE *file) const { (void)std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;
// Finds the firmware image, reports its path and opens it with the given fopen mode;
// null (with the reason printed) when there is none or it can't be opened.
File open_firmware_image(const char *mode);

// Builds "<firmware dir>/<name>" into out. Any directory LEP3_SetPath accepts (under 256
// characters) and any qualifying name fit a buffer of kImagePathSize.
inline constexpr size_t kDirPathLimit = 256;
inline constexpr size_t kImagePathSize = kDirPathLimit + 1 + kMaxImageNameLength + 1;
void image_path(const char *name, std::span<char, kImagePathSize> out);

// ---- The running firmware -----------------------------------------------------------

// Asks the bridge to restart into its bootloader (command 0x0402); true when it accepts
// with status 0. Nothing is printed and the link is left as it is.
bool bridge_accepts_restart();

// ---- Verification CRC ----------------------------------------------------------------

// The bootloader checks the flash with the reflected IEEE 802.3 CRC-32 (0xEDB88320),
// register starting at 0 and never inverted. Image bytes enter XORed with this mask; the
// unprogrammed rest of the flash enters as 0xFF, unmasked.
inline constexpr uint8_t kImageMask = 0xE5;
inline constexpr uint8_t kErasedFlashByte = 0xFF;

uint32_t crc32_update(uint32_t reg, std::span<const uint8_t> bytes, uint8_t mask = 0);
uint32_t crc32_fill(uint32_t reg, uint8_t value, size_t count);

// ---- Pauses of the bootloader transfer ------------------------------------------------

// Every fixed pause of a transfer goes through transfer_pause. A fuzz target replaces it
// to drive the reply handling without the seconds of pauses a real bootloader needs;
// nullptr restores the real sleep.
using PauseFunction = void (*)(std::chrono::milliseconds);
void set_transfer_pause(PauseFunction pause);
void transfer_pause(std::chrono::milliseconds pause);

// ---- The update's own serial descriptors ---------------------------------------------

// Both the bootloader and the restarted firmware speak the link's 115 200 baud, 8N1, raw.
inline constexpr int kNoParity = 'n';

// A reply read waits this long for its first byte; a bootloader or firmware that falls
// silent then costs one failed read instead of hanging the host. The application
// firmware may take up to 7 s to answer a set request, so the RBFO write-back after an
// update waits that long.
inline constexpr std::chrono::milliseconds kReplyTimeLimit{2000};
inline constexpr std::chrono::milliseconds kAppReplyTimeLimit{7000};

using lep3::link::Fd;

// The bridge's devices count as open only with a descriptor above 0.
inline bool is_open(const Fd &port)
{
    return port.get() > 0;
}

// One open attempt: first, and if that fails second. A descriptor of 0 (a host whose
// standard input is closed gets it from the next open) counts as a failed open; it is
// kept in zero_hold rather than closed, so that later opens of the same attempt loop get
// real descriptors. The caller holds zero_hold until its attempt loop ends.
Fd open_either(const char *first, const char *second, Fd &zero_hold);
// Discards whatever either direction holds.
void flush_port(const Fd &port);
// Waits up to limit for a byte, then takes what is there with one read of at most
// buf.size() bytes. Returns the read's count; 0 when nothing came in time.
ssize_t read_reply(const Fd &port, std::span<uint8_t> buf, std::chrono::milliseconds limit = kReplyTimeLimit);

// ---- Progress in data blocks -----------------------------------------------------------

// The transfer reports the data blocks acknowledged so far and their total, so a host can
// show progress while the per cent value rests on one step for the whole transfer.
void note_blocks(uint32_t acknowledged, uint32_t total);

} // namespace lep3::update
