// The whole update against the emulated bridge: the image that ends up in its flash, the
// user RBFO set across the restart, the progress another thread sees, and what each
// failure code leaves behind.
#include "update_support.h"

#include <fcntl.h>
#include <unistd.h>

#include "link/link_internal.h"
#include "support/eventually.h"

using namespace lep3::test;
using lep3::sim::Mode;

namespace {

const Bytes kUserRbfo = image_data(16);

// A command goes out and its reply (the version, low byte first) comes back.
void expect_link_up()
{
    uint32_t version = 0;
    EXPECT_EQ(LEP3_GetFirmwareVersion(&version), 0);
    EXPECT_EQ(version, 0x0106u);
}

} // namespace

using UpdateProcedure = BridgeFixture;

TEST_F(UpdateProcedure, ProgramsTheImageRestoresTheUserRbfoSetAndReportsEveryStep)
{
    sim().set_reg(kUserRbfoId, kUserRbfo);
    // The first write-back after the restart is refused: one attempt is spent on it.
    set_faults([](auto &f) { f.rbfo_write_fails = true; });
    const Bytes data = image_data(128);
    put_image(data);

    ASSERT_EQ(update(), 0) << printed_;
    expect_progress_trail(progress_, {5, 10, 15, 65, 75, 80, 85, 95, 100}, {5, 10, 15, 65, 85, 100});
    EXPECT_EQ(sim().programmed_image(), data);
    EXPECT_EQ(sim().reg(kUserRbfoId), kUserRbfo);
    EXPECT_EQ(count_of(printed_, "get rbfo_cmd reply error!\n"), 1u) << printed_;
    expect_in_order(printed_, {"rbfo_cmd reply:aa 55 04 04 03 01 00 ", "get rbfo_cmd reply!\n"});

    // The link is released as by LEP3_Destroy; the host brings it up again.
    EXPECT_EQ(uart_queue.storage, nullptr);
    EXPECT_EQ(frame_queue.slot[0], nullptr);
    ASSERT_TRUE(relink());
    expect_link_up();
}

TEST_F(UpdateProcedure, RefusalBeforeTheRestartLeavesTheFirmwareRunningAndTheLinkUp)
{
    // The command the bridge refuses, the result, the message and the progress order.
    for (const auto &[command, code, message, order] :
         {std::tuple<uint16_t, int, const char *, std::vector<int32_t>>{
              kUserRbfoId, -1, "ERROR: Get RBFO parameter before update SAMG55 failed!\n", {-1}},
          {0x0402, -2, "Reset SAMG55 failed!", {5, -2}}}) {
        SCOPED_TRACE(message);
        set_faults([&](lep3::sim::Faults &f) { (f = {}).commands[command].status = 1; });
        EXPECT_EQ(update(), code);
        expect_in_order(printed_, {message});
        expect_progress_trail(progress_, order, {code});
        EXPECT_EQ(sim().mode(), Mode::app);
        expect_link_up();
    }
}

TEST_F(UpdateProcedure, BadImageFileFailsAfterTheRestartWithoutLeaks)
{
    put_file("SAMG55_V1.5.talvor", bytes_of("SAMG55;X1.05\r\nnot an image"));
    const size_t descriptors = open_descriptors();
    EXPECT_EQ(update(), -3);
    EXPECT_EQ(count_of(printed_, "ERROR: firmware file flag not match!\n"), 3u) << printed_;
    expect_in_order(printed_, {"ERROR: update_flow failed!\n"});
    expect_progress_trail(progress_, {5, 10, 15, -3}, {10, 15, -3});
    EXPECT_EQ(sim().mode(), Mode::bootloader);
    EXPECT_TRUE(sim().boot_received().empty()) << "the bootloader was spoken to";
    // Only the link's port is gone; the queues stay as they were. The emulator in this
    // process opens its bootloader's device a moment after the restart: looked at until
    // it has, however loaded the machine.
    EXPECT_TRUE(lep3::test::eventually([&] { return open_descriptors() == descriptors - 1; }))
        << open_descriptors() << " descriptors, " << descriptors - 1 << " expected";
    EXPECT_NE(uart_queue.storage, nullptr);
    EXPECT_NE(frame_queue.slot[0], nullptr);
}

TEST_F(UpdateProcedure, FirmwareThatNeverComesBackFailsWithMinusFour)
{
    set_faults([](auto &f) { f.app_never_returns = true; });
    const Bytes data = image_data(70);
    put_image(data);
    EXPECT_EQ(update(), -4);
    expect_in_order(printed_, {"Open new uart timeout\n"});
    // Three attempts, each at both devices.
    EXPECT_EQ(count_of(printed_, "open " + std::string(LEP3_GetPath(LEP3_PATH_UART)) + " failure\n"), 3u);
    expect_progress_trail(progress_, {5, 10, 15, 65, 75, -4}, {10, 15, 65, 75, -4});
    EXPECT_EQ(sim().programmed_image(), data);
    EXPECT_NE(uart_queue.storage, nullptr);
}

TEST_F(UpdateProcedure, RbfoSetThatIsNeverAcceptedFailsWithMinusFiveAfterSixAttempts)
{
    sim().set_reg(kUserRbfoId, kUserRbfo);
    put_image(image_data(64));
    // The set is read normally; once the bridge restarts, every write-back is refused.
    EXPECT_EQ(update([this](int32_t progress) {
                  if (progress == 10)
                      set_faults([](auto &f) { f.commands[kUserRbfoId].status = 1; });
              }),
              -5);
    EXPECT_EQ(count_of(printed_, "get rbfo_cmd reply error!\n"), 6u) << printed_;
    expect_in_order(printed_, {"ERROR: Recover RBFO parameter after update SAMG55 failed!\n"});
    expect_progress_trail(progress_, {5, 10, 15, 65, 75, 80, 85, -5}, {10, 15, 65, 85, -5});
    EXPECT_EQ(sim().mode(), Mode::app);
    EXPECT_NE(frame_queue.slot[0], nullptr);
}

// The restarted firmware may take up to 7 s to answer a set request: its answer to the
// RBFO write-back, 3 s late, is waited for, not taken for silence and asked again.
TEST_F(UpdateProcedure, RbfoWriteBackWaitsForASlowFirmwareReply)
{
    sim().set_reg(kUserRbfoId, kUserRbfo);
    put_image(image_data(64));
    EXPECT_EQ(update([this](int32_t progress) {
                  if (progress == 10)
                      set_faults([](auto &f) { f.commands[kUserRbfoId].late_reply_ms = 3000; });
              }),
              0)
        << printed_;
    EXPECT_EQ(count_of(printed_, "rbfo_cmd no reply"), 0u) << printed_;
    EXPECT_EQ(count_of(printed_, "rbfo_cmd reply:"), 1u) << printed_;
    EXPECT_EQ(sim().reg(kUserRbfoId), kUserRbfo);
}

// In a host whose standard input is closed, the next open gets descriptor 0, which
// doesn't count as open: it is held while the attempts go on, so the next open gets a
// real descriptor and the update completes, leaving 0 free again.
TEST_F(UpdateProcedure, HostWithDescriptorZeroClosedCompletesAWholeUpdate)
{
    const Bytes data = image_data(200);
    put_image(data);
    close(0);
    ASSERT_EQ(open("/dev/null", O_RDONLY), 0) << "descriptor 0 is not the next one free";
    close(0);
    EXPECT_EQ(update(), 0) << printed_;
    EXPECT_EQ(sim().programmed_image(), data);
    EXPECT_LT(fcntl(0, F_GETFD), 0) << "descriptor 0 was left open";
    ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    ASSERT_TRUE(relink());
    expect_link_up();
}

// The update ends the reader loop with pthread_cancel: the loop must unwind at its
// blocking read (nothing on its path may stop the unwinding), count itself gone, and
// leave the process running.
TEST(ReaderCancel, ReaderBlockedInItsReadEndsCancelledAndCountsItselfGone)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    uart_fd = ends[0];
    ASSERT_EQ(queue_init(&uart_queue, 64), 0);
    pthread_t reader{};
    ASSERT_EQ(pthread_create(&reader, nullptr, LEP3_Read_Thr, nullptr), 0);
    ASSERT_EQ(write(ends[1], "abc", 3), 3);
    while (queue_is_empty(&uart_queue))
        usleep(1000); // the reader took the bytes and is blocked in its next read
    pthread_cancel(reader);
    void *result = nullptr;
    ASSERT_EQ(pthread_join(reader, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_TRUE(lep3::link::wait_for_readers_gone(std::chrono::milliseconds(1000)));
    EXPECT_EQ(dequeue_single(&uart_queue), 'a');
    close(ends[0]);
    close(ends[1]);
    queue_clear(&uart_queue);
}
