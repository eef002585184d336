// The host platform: named objects across processes, threads, interrupt
// delivery and the interrupt-disabled section.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "platform/ipc.h"
#include "platform/names.h"
#include "rig.h"

namespace {

TEST(Names, EscapingIsOneToOne) {
    EXPECT_EQ(names::HostObjectPath("default", "\\RtDevice\\Quillmar\\Serial0.s1"),
              "/dev/shm/quillmar.default/_5CRtDevice_5CQuillmar_5CSerial0.s1");
    EXPECT_NE(names::HostObjectName("x_y"), names::HostObjectName("x\\y"));
    EXPECT_NE(names::NamespaceDirectory("a.b"), names::NamespaceDirectory("a_2Eb"));
    EXPECT_FALSE(names::NamespaceFits(std::string(300, 'n')));
}

// Runs `child` in a forked process that ends without cleaning up.
int InChild(const std::function<int()>& child) {
    pid_t pid = fork();
    if (pid == 0) _exit(child());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NamedObjects, LeftoversAreReclaimedLiveOwnersKeepTheirNames) {
    std::string ns = rig::UniqueNamespace("ipc");
    ASSERT_EQ(InChild([&] {
                  ipc::Object o;
                  return ipc::CreateSection(ns, "left", 64, &o) == ipc::Status::Ok ? 0 : 1;
              }),
              0);
    EXPECT_FALSE(ipc::IsLive(ns, "left")) << "its creator died";
    ipc::Object mine;
    ASSERT_EQ(ipc::CreateSection(ns, "left", 64, &mine), ipc::Status::Ok) << "reclaimed";
    EXPECT_TRUE(ipc::IsLive(ns, "left"));
    EXPECT_EQ(InChild([&] {
                  ipc::Object o;
                  return ipc::CreateSection(ns, "left", 64, &o) == ipc::Status::Exists ? 0 : 1;
              }),
              0)
        << "a live owner's name is not taken";
    ipc::Close(&mine);
    ipc::Object gone;
    EXPECT_EQ(ipc::Open(ns, "left", ipc::Kind::Section, &gone), ipc::Status::NotFound)
        << "the creator removed its name on close";
}

TEST(NamedObjects, SemaphoreKeepsItsMaximum) {
    std::string ns = rig::UniqueNamespace("sem");
    ipc::Object s;
    ASSERT_EQ(ipc::CreateSemaphore(ns, "s", 0, 1, &s), ipc::Status::Ok);
    EXPECT_TRUE(ipc::SemaphoreRelease(&s, 1, nullptr));
    EXPECT_FALSE(ipc::SemaphoreRelease(&s, 1, nullptr));
    EXPECT_EQ(ipc::SemaphoreValue(&s), 1);
    EXPECT_EQ(ipc::SemaphoreWait(&s, 0), ipc::WaitResult::Signaled);
    EXPECT_EQ(ipc::SemaphoreWait(&s, 20), ipc::WaitResult::Timeout);
    ipc::Close(&s);
}

TEST(NamedObjects, MutexOfADeadOwnerIsAcquiredAbandoned) {
    std::string ns = rig::UniqueNamespace("mtx");
    ipc::Object m;
    ASSERT_EQ(ipc::CreateMutex(ns, "m", false, &m), ipc::Status::Ok);
    ASSERT_EQ(InChild([&] {
                  ipc::Object o;
                  if (ipc::Open(ns, "m", ipc::Kind::Mutex, &o) != ipc::Status::Ok) return 1;
                  return ipc::MutexWait(&o, 1000) == ipc::WaitResult::Signaled ? 0 : 2;
              }),
              0);
    EXPECT_EQ(ipc::MutexWait(&m, 1000), ipc::WaitResult::Abandoned);
    EXPECT_TRUE(ipc::MutexRelease(&m));
    EXPECT_EQ(ipc::MutexWait(&m, 1000), ipc::WaitResult::Signaled) << "consistent again";
    ipc::MutexRelease(&m);
    ipc::Close(&m);
}

std::atomic<int> g_runs{0};
uint32_t CountRun(void*) {
    g_runs++;
    return 0;
}

TEST(Threads, SuspendedThreadClosedBeforeResumeNeverRuns) {
    g_runs = 0;
    RtHandle t = CreateThread(nullptr, 0, CountRun, nullptr, kRtCreateSuspended, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(RtCloseHandle(t), 1);
    RtHandle u = CreateThread(nullptr, 0, CountRun, nullptr, kRtCreateSuspended, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(g_runs.load(), 0) << "nothing runs before resume";
    EXPECT_EQ(ResumeThread(u), 1u);
    EXPECT_TRUE(rig::WaitFor([] { return g_runs.load() == 1; }));
    RtCloseHandle(u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(g_runs.load(), 1);
}

std::atomic<int> g_isrRuns{0};
uint8_t CountingIsr(void*) {
    g_isrRuns++;
    return 1;
}
int32_t NotMine(void*) { return 0; }

TEST(Interrupts, SharingRulesAndAStuckLineIsMasked) {
    rig::Rig r(rig::Rig::realtime(false));
    r.machine->start();
    host::SetStuckIrqLimit(200);
    RtHandle shared = RtAttachInterruptVectorEx(nullptr, 0, CountingIsr, nullptr, 127, 5, 0, 9, 9,
                                                1, 0, NotMine);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(RtAttachInterruptVector(nullptr, 0, CountingIsr, nullptr, 127, 5, 0, 9, 9), nullptr)
        << "no exclusive attachment on a shared line";
    RtHandle second = RtAttachInterruptVectorEx(nullptr, 0, CountingIsr, nullptr, 127, 5, 0, 9, 9,
                                                1, 0, NotMine);
    EXPECT_NE(second, nullptr);
    g_isrRuns = 0;
    // A foreign source nobody clears: the check routines say "not ours".
    r.machine->setForeignIrq(9, true);
    EXPECT_TRUE(rig::WaitFor([&] { return r.machine->irqMasked(9); }));
    EXPECT_EQ(g_isrRuns.load(), 0);
    EXPECT_NE(host::TakeConsole().find("IRQ 9 stays asserted"), std::string::npos);
    EXPECT_EQ(RtReleaseInterruptVector(second), 1);
    EXPECT_EQ(RtReleaseInterruptVector(shared), 1);
    host::SetStuckIrqLimit(10000);
}

TEST(Interrupts, NoServiceRunsInsideADisabledSection) {
    rig::Rig r(rig::Rig::realtime(false));
    r.machine->start();
    RtHandle h = RtAttachInterruptVector(nullptr, 0, CountingIsr, nullptr, 127, 5, 0, 11, 11);
    ASSERT_NE(h, nullptr);
    g_isrRuns = 0;
    DisableProcessorInterrupts();
    DisableProcessorInterrupts();  // sections nest
    r.machine->setForeignIrq(11, true);
    EnableProcessorInterrupts();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(g_isrRuns.load(), 0) << "still inside the outer section";
    EnableProcessorInterrupts();
    EXPECT_TRUE(rig::WaitFor([] { return g_isrRuns.load() > 0; }));
    r.machine->setForeignIrq(11, false);
    EXPECT_EQ(RtReleaseInterruptVector(h), 1);
}

TEST(Console, WidePrintfTakesWideStrings) {
    rig::Rig r;
    SetLastError(0x1F);
    RtWprintf(L"Error: %s (0x%X)\n", L"Could not release interrupt for this device.", GetLastError());
    EXPECT_EQ(host::TakeConsole(), "Error: Could not release interrupt for this device. (0x1F)\n");
}

}  // namespace
