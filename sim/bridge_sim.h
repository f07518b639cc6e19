// Bridge emulator: plays the camera bridge (application firmware with a camera core, and
// its bootloader) on pseudo-terminals, so the library and its tools run without hardware.
//
// The emulator owns a pseudo-terminal pair, serves the master side on its own thread and
// publishes the raw slave side as a symlink at the path the caller chooses; the library
// reaches it through LEP3_SetPath(LEP3_PATH_UART, path) and LEP3_Init as it would reach
// the real device. The destructor stops streaming, closes the terminals, removes the
// symlinks and joins the thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace lep3::sim {

inline constexpr int kWidth = 160;
inline constexpr int kHeight = 120;
inline constexpr int kPixels = kWidth * kHeight;

// How the emulated bridge misbehaves when answering one command ID.
struct CommandFault {
    bool no_reply = false;      // swallow the request
    int late_reply_ms = 0;      // answer only after this many milliseconds
    bool wrong_id = false;      // answer with the command ID plus one
    int status = -1;            // 0..255: answer with this single status byte instead
    bool split_reply = false;   // write the reply one byte at a time with short pauses
    int data_len_override = -1; // >= 0: answer with this many data bytes (0 = truncated reply)
};

// Fault knobs; change them at any time with BridgeSim::set_faults. Counted knobs
// (refuse_sync, not_ready_reads) are used up as they act; faults() shows what is left.
struct Faults {
    // Application firmware and link.
    bool garbage_between_packets = false; // random bytes (never AA 55) between packets
    bool split_writes = false;            // every packet written in random small pieces
    uint32_t corrupt_frame_every = 0;     // flip one data byte in every n-th frame (0: never)
    bool silent = false;                  // answer nothing and stream nothing (bootloader too)
    std::map<uint16_t, CommandFault> commands{};

    // Bootloader.
    int refuse_sync = 0; // refuse this many sync commands before acknowledging
    bool erase_never_completes = false;
    int refuse_block = -1;   // refuse the data block with this index (0-based, counted from each erase)
    int drop_block_ack = -1; // don't answer the data block with this index (likewise)
    bool wrong_crc = false;  // report a CRC that doesn't match
    bool refuse_boot = false;
    bool app_never_returns = false; // after boot, no application device comes back
    bool rbfo_write_fails = false;  // the first RBFO write after boot answers a failure status

    // Camera core.
    int not_ready_reads = 0; // this many status reads (0x0204) report the camera not ready
    int ffc_busy_polls = 3;  // status polls that read busy after an FFC or RAD FFC run
};

struct Options {
    std::string path;                   // symlink of the application device (required)
    std::string boot_path;              // symlink of the bootloader device (default: path + ".boot")
    std::string path_after_boot;        // where the application device returns (default: path)
    double fps = 8.7;                   // frame rate; 0 = as fast as the link takes the frames
    uint32_t seed = 1;                  // for garbage, split sizes and corruption positions
    uint32_t flash_size = 256 * 1024;   // what the bootloader reports
    bool verbose = false;               // print what it does on standard output
    uint16_t firmware_version = 0x0106; // what the application firmware reports (0x0401), in hundredths
    // After a transfer the application reports the version in the first line of the image
    // file whose body it was given, looked for in these image files and directories, then
    // in /tmp/mmcblk0; failing that, a version its body names ("SAMG55;V2.70" inside, see
    // stamped_version in bootloader.h); failing that, the old one.
    std::vector<std::string> image_paths;
    // A recording (lep3 record) to stream instead of the synthetic scene: its raw values
    // exactly, at its recorded pace, with the FPA temperature, RBFO set, serial number and
    // firmware version it was recorded with. The constructor throws std::runtime_error
    // when the file is no raw recording (or the emulator was built without libtiff).
    std::string replay;
    bool replay_loop = false;   // start over after the last frame instead of falling silent
    bool replay_at_fps = false; // pace the recording by fps instead of its recorded times
    // Start as a bridge stranded in its bootloader (its device at boot_path), as after an
    // update that was cut off: only a transfer and start bring the application back.
    bool in_bootloader = false;
};

enum class Mode { app, bootloader, gone };

class BridgeSim {
  public:
    explicit BridgeSim(Options options);
    ~BridgeSim();
    BridgeSim(const BridgeSim &) = delete;
    BridgeSim &operator=(const BridgeSim &) = delete;

    const std::string &path() const;
    Mode mode() const;
    // Waits (polling) until the emulator is in the given mode; false after timeout_ms.
    bool wait_mode(Mode mode, int timeout_ms) const;

    Faults faults() const;
    void set_faults(const Faults &faults);

    // Pulls the bridge's cable: the device (application or bootloader) is closed and its
    // symlink removed, so the host's reads of it return end-of-file and its writes fail,
    // as after a real unplug; pending replies and restarts are dropped. Returns once the
    // device is closed. Does nothing when already unplugged.
    void unplug();
    // Plugs it back: a new pseudo-terminal published at the application device's path,
    // as a bridge that was powered off comes back: application firmware, not streaming,
    // camera core at its power-on values (the bridge's own registers kept). Does nothing
    // when plugged.
    void replug();
    bool plugged() const;

    // Sends the camera-reset notice (command 0x0404) and resets the registers to their
    // power-on values.
    void send_reset_notice();
    // Sends arbitrary bytes to the host, between packets.
    void send_raw(std::span<const uint8_t> bytes);

    // Camera core registers keyed by command ID, as get replies deliver them.
    std::vector<uint8_t> reg(uint16_t id) const;
    void set_reg(uint16_t id, std::vector<uint8_t> bytes);

    // Every request packet the host sent with a valid check byte, in order, whole.
    std::vector<std::vector<uint8_t>> requests() const;
    // Every byte the host wrote to the application device, in order.
    std::vector<uint8_t> received() const;
    // Every byte the host wrote to the bootloader device, in order.
    std::vector<uint8_t> boot_received() const;
    size_t crc_errors() const;
    // Forgets the requests, the received bytes of both devices and the CRC error count.
    void clear_requests();
    size_t request_count(uint16_t id) const;

    // Frames streamed so far (each frame carries its sequence number, from 1, unless it is
    // a replayed one).
    uint64_t frames_sent() const;
    std::vector<uint32_t> corrupted_frames() const;

    // The bootloader's flash as programmed by the last transfer.
    std::vector<uint8_t> programmed_image() const;

    // Frame content for sequence number seq: a room-temperature background with a warm
    // spot that moves with seq; seq is stamped into the first pixels.
    static void raw_frame(uint32_t seq, uint16_t *out /* kPixels */);
    static void rgb_frame(uint32_t seq, uint8_t *out /* kPixels * 3 */);
    static uint32_t stamp_of_raw(const uint16_t *pixels);
    static uint32_t stamp_of_rgb(const uint8_t *rgb);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace lep3::sim
