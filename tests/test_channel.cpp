// The request channel and the dispatcher, spoken to the way another
// process does: through the named objects, byte offsets in the block.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstring>
#include <thread>

#include "client/client.h"
#include "platform/ipc.h"
#include "rig.h"

namespace {

// A client that writes the block byte by byte, hostile or not.
class RawClient : public rig::PortObjects {
public:
    explicit RawClient(const std::string& device) : PortObjects(device) {}

    // One request following the protocol; returns the status, or ~0u when
    // no reply came.
    uint32_t request(uint32_t command, uint32_t length = 0,
                     const std::function<void(RawClient&)>& fill = nullptr) {
        if (ipc::MutexWait(&mutex, 2000) == ipc::WaitResult::Timeout) return ~0u;
        put32(kBlockCommand, command);
        put32(kBlockLength, length);
        if (fill) fill(*this);
        ipc::SemaphoreRelease(&s1, 1, nullptr);
        bool replied = ipc::SemaphoreWait(&s2, 2000) == ipc::WaitResult::Signaled;
        uint32_t status = u32(kBlockStatus);
        ipc::MutexRelease(&mutex);
        return replied ? status : ~0u;
    }
};

std::atomic<int> g_dispatched{0};
uint32_t CountingDispatch(uint8_t* request) {
    g_dispatched++;
    uint32_t command;
    std::memcpy(&command, request + kBlockCommand - 4, 4);
    return command + 1000;
}

TEST(Registration, SectionFieldsAndNames) {
    rig::Rig r;
    const char* name = "\\RtDevice\\Test\\Dev";
    g_dispatched = 0;
    DeviceChannel* ch = RegisterDevice(name, CountingDispatch, 0, 121, 64);
    ASSERT_NE(ch, nullptr);
    RawClient c(name);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.section.payloadSize, 64u + 44u);
    EXPECT_EQ(c.u32(kBlockDataCapacity), 64u);
    EXPECT_EQ(c.block()[kBlockNameLength], std::strlen(name));
    EXPECT_EQ(c.u32(kBlockStatus), 0u);
    EXPECT_EQ(std::memcmp(ch->nameCopy, name, std::strlen(name)), 0);
    EXPECT_EQ(g_dispatched.load(), 0) << "nothing runs before the first request";
    EXPECT_EQ(ipc::SemaphoreValue(&c.s2), 0);

    c.put32(kBlockDataPtr, 0xDEADBEEF);
    EXPECT_EQ(c.request(42), 1042u);
    EXPECT_EQ(c.u32(kBlockDataPtr), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ch->block + 40)))
        << "the server's own token, whatever the client wrote";
    // A client writing the stop code is served like any other code.
    EXPECT_EQ(c.request(CommandStop), CommandStop + 1000u);
    EXPECT_EQ(c.request(7), 1007u) << "the server thread still serves";

    EXPECT_EQ(UnregisterDevice(ch), 1);
    EXPECT_FALSE(ipc::IsLive(host::Namespace(), std::string(name) + ".sm"));
    SetLastError(0);
    EXPECT_EQ(UnregisterDevice(nullptr), 0);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST(Registration, EachFailedStepReleasesWhatItMade) {
    using S = host::Service;
    struct Step {
        S service;
        int nth;
        uint32_t error;
    };
    const Step steps[] = {{S::AllocateLockedMemory, 1, 8}, {S::CreateSharedMemory, 1, 183},
                          {S::AllocateLockedMemory, 2, 8}, {S::CreateSemaphore, 1, 3},
                          {S::CreateSemaphore, 2, 3},      {S::CreateMutex, 1, 3},
                          {S::CreateThread, 1, 3},         {S::SetThreadPriority, 1, 3}};
    rig::Rig r;
    const char* name = "\\RtDevice\\Test\\Fail";
    for (const auto& s : steps) {
        SCOPED_TRACE(static_cast<int>(s.service) * 10 + s.nth);
        g_dispatched = 0;
        host::FailCall(s.service, s.nth);
        SetLastError(0);
        EXPECT_EQ(RegisterDevice(name, CountingDispatch, 0, 121, 64), nullptr);
        EXPECT_EQ(GetLastError(), s.error);
        for (const char* suffix : {".sm", ".s1", ".s2", ""}) {
            EXPECT_FALSE(ipc::IsLive(host::Namespace(), std::string(name) + suffix)) << suffix;
        }
        host::ClearFaults();
        // The name is free again at once.
        DeviceChannel* ch = RegisterDevice(name, CountingDispatch, 0, 121, 64);
        ASSERT_NE(ch, nullptr);
        EXPECT_EQ(UnregisterDevice(ch), 1);
        EXPECT_EQ(g_dispatched.load(), 0) << "a thread whose priority failed never ran";
    }
}

TEST(Registration, AClientThatNeverLetsGoDoesNotHoldUpUnregistration) {
    rig::Rig r;
    const char* name = "\\RtDevice\\Test\\Held";
    DeviceChannel* ch = RegisterDevice(name, CountingDispatch, 0, 121, 16);
    ASSERT_NE(ch, nullptr);
    RawClient c(name);
    ASSERT_EQ(ipc::MutexWait(&c.mutex, 1000), ipc::WaitResult::Signaled);  // and never released
    auto t0 = std::chrono::steady_clock::now();
    std::atomic<int32_t> result{-1};
    std::thread([&] { result = UnregisterDevice(ch); }).join();
    auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(result.load(), 1);
    EXPECT_LT(spent, std::chrono::milliseconds(1000)) << "the server never waits for a client's lock";
    EXPECT_FALSE(ipc::IsLive(host::Namespace(), std::string(name) + ".sm"));
    // Let go before the mapping goes: the thread's list of robust mutexes
    // must not point into unmapped memory.
    ipc::MutexRelease(&c.mutex);
}

std::atomic<int> g_blockedStage{0};
uint32_t BlockingDispatch(uint8_t*) {
    g_blockedStage = 1;
    while (g_blockedStage != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

TEST(Registration, UnregistrationWaitsForAServerInsideARequest) {
    rig::Rig r;
    const char* name = "\\RtDevice\\Test\\Pending";
    g_blockedStage = 0;
    DeviceChannel* ch = RegisterDevice(name, BlockingDispatch, 0, 121, 16);
    ASSERT_NE(ch, nullptr);
    RawClient c(name);
    ipc::SemaphoreRelease(&c.s1, 1, nullptr);
    ASSERT_TRUE(rig::WaitFor([] { return g_blockedStage == 1; }));
    ipc::SemaphoreRelease(&c.s1, 1, nullptr);  // and one more pending behind it
    std::atomic<int32_t> result{-1};
    std::thread unregister([&] { result = UnregisterDevice(ch); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1) << "returned while its server was still in a request";
    g_blockedStage = 2;
    unregister.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_FALSE(ipc::IsLive(host::Namespace(), std::string(name) + ".sm"));
}

TEST(Registration, SecondRegistrationOfANameFailsWith183) {
    rig::Rig r;
    DeviceChannel* a = RegisterDevice("\\RtDevice\\Test\\Twice", CountingDispatch, 0, 121, 16);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(RegisterDevice("\\RtDevice\\Test\\Twice", CountingDispatch, 0, 121, 16), nullptr);
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_EQ(UnregisterDevice(a), 1);
}

// The dispatcher behind a real 2-port board (no interrupt attached).
class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        r = std::make_unique<rig::Rig>();
        sim::BoardConfig c;
        c.model = 3;
        r->machine->addBoard(c);
        host::FailCall(host::Service::AttachInterrupt);
        r->bringUp(5);
        host::TakeConsole();
        c0 = std::make_unique<RawClient>("\\RtDevice\\Quillmar\\Serial0");
        c1 = std::make_unique<RawClient>("\\RtDevice\\Quillmar\\Serial1");
        ASSERT_TRUE(c0->ok && c1->ok);
    }
    void TearDown() override {
        c0.reset();
        c1.reset();
        r.reset();
    }
    std::unique_ptr<rig::Rig> r;
    std::unique_ptr<RawClient> c0, c1;
};

TEST_F(Dispatch, UnknownCodesChangeNothing) {
    c0->put32(kBlockResultCount, 0x5555);
    c0->block()[kBlockPortNumber] = 0x77;
    c0->block()[kBlockData] = 0x66;
    for (uint32_t code : {0u, 5u, 18u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        EXPECT_EQ(c0->request(code), 120u) << code;
    }
    EXPECT_EQ(c0->u32(kBlockResultCount), 0x5555u);
    EXPECT_EQ(c0->block()[kBlockPortNumber], 0x77);
    EXPECT_EQ(c0->block()[kBlockData], 0x66);
}

TEST_F(Dispatch, NothingButOpenBeforeTheFirstOpen) {
    c1->block()[kBlockPortNumber] = 0;  // would act on port 0 if trusted
    for (uint32_t code : {2u, 3u, 4u, 6u, 7u, 11u, 14u, 17u}) {
        EXPECT_EQ(c1->request(code), 87u) << code;
    }
    EXPECT_EQ(r->machine->uart(0, 0).mcr(), 0) << "port 0 untouched";
}

TEST_F(Dispatch, CommandTable) {
    c1->put32(kBlockResultCount, 0xABCD);
    EXPECT_EQ(c1->request(CommandOpen), 0u);
    EXPECT_EQ(c1->block()[kBlockPortNumber], 1);
    EXPECT_EQ(c1->u32(kBlockResultCount), 0xABCDu) << "open leaves resultCount";
    for (uint32_t code : {2u, 7u, 8u, 9u, 10u, 14u, 15u}) {
        c1->put32(kBlockResultCount, 0xABCD);
        EXPECT_EQ(c1->request(code), 0u);
        EXPECT_EQ(c1->u32(kBlockResultCount), 0xABCDu) << code;
    }
    EXPECT_EQ(c1->request(CommandOpen), 0u);
    LineSettings good{9600, 'n', 1, 8, 0, 0, 0x13, 0x11, 0, 0};
    LineSettings bad = good;
    bad.parity = 'E';
    auto settings = [](const LineSettings& s) {
        return [s](RawClient& c) { std::memcpy(c.block() + kBlockData, &s, sizeof s); };
    };
    EXPECT_EQ(c1->request(CommandSetLineSettings, 3, settings(good)), 0u);
    EXPECT_EQ(c1->u32(kBlockResultCount), 1u) << "16 bytes taken whatever the length";
    EXPECT_EQ(c1->request(CommandSetLineSettings, 16, settings(bad)), 0u);
    EXPECT_EQ(c1->u32(kBlockResultCount), 0u);
    EXPECT_EQ(c1->request(CommandSetLineSettings, 16, settings(good)), 0u);

    EXPECT_EQ(c1->request(CommandSetDtr), 0u);
    EXPECT_EQ(c1->request(CommandSetRts), 0u);
    EXPECT_EQ(c1->request(CommandGetModemControl), 0u);
    EXPECT_EQ(c1->block()[kBlockData], 0x03) << "DTR and RTS only, OUT2 masked off";
    EXPECT_EQ(c1->u32(kBlockResultCount), 1u);

    g_Ports[1]->lineErrors = 0x0A;
    EXPECT_EQ(c1->request(CommandGetLineErrors), 0u);
    EXPECT_EQ(c1->block()[kBlockData], 0x0A);
    EXPECT_EQ(c1->request(CommandGetLineErrors), 0u);
    EXPECT_EQ(c1->block()[kBlockData], 0x0A) << "reading does not clear";

    g_Ports[1]->rxCount = 0x01020304;
    std::memset(c1->block() + kBlockData, 0xEE, 8);
    EXPECT_EQ(c1->request(CommandGetRxCount), 0u);
    EXPECT_EQ(c1->u32(kBlockResultCount), 4u);
    EXPECT_EQ(c1->u32(kBlockData), 0x01020304u);
    EXPECT_EQ(c1->block()[kBlockData + 4], 0xEE) << "exactly four bytes";
    g_Ports[1]->rxCount = 0;

    EXPECT_EQ(c1->request(CommandRead, 100), 0u);
    EXPECT_EQ(c1->u32(kBlockResultCount), 0u) << "empty ring";
    g_Ports[1]->txActive = 1;
    g_Ports[1]->txCount = kRingSize;
    EXPECT_EQ(c1->request(CommandWrite, 10), 0u) << "a full ring is not an error";
    EXPECT_EQ(c1->u32(kBlockResultCount), 0u);
}

TEST_F(Dispatch, ServerFieldsAreTheServersWhateverAClientWrites) {
    ASSERT_EQ(c0->request(CommandOpen), 0u);
    ASSERT_EQ(c1->request(CommandOpen), 0u);
    uint8_t mcr0 = r->machine->uart(0, 0).mcr();
    // Another channel's port, and a port the board lacks: the channel's own
    // port is served, and its number is back in the block with the reply.
    for (uint8_t port : {0, 2, 7, 200}) {
        c1->block()[kBlockPortNumber] = port;
        EXPECT_EQ(c1->request(CommandSetDtr), 0u) << static_cast<int>(port);
        EXPECT_EQ(c1->block()[kBlockPortNumber], 1) << static_cast<int>(port);
    }
    EXPECT_EQ(r->machine->uart(0, 0).mcr(), mcr0) << "port 0 untouched";
    EXPECT_EQ(r->machine->uart(0, 1).mcr() & 0x01, 0x01) << "port 1 served";
    EXPECT_EQ(c1->request(CommandRead, 8193), 87u) << "longer than the data area";
    EXPECT_EQ(c1->request(CommandWrite, 0xFFFFFFFF), 87u);
    // A name length past the name buffer, and a namePtr pointing anywhere.
    c1->block()[kBlockNameLength] = 100;
    c1->put32(kBlockNamePtr, 0x10);
    c1->put32(kBlockDataCapacity, 3);
    EXPECT_EQ(c1->request(CommandOpen), 0u) << "the server's own name is looked up";
    EXPECT_EQ(c1->block()[kBlockPortNumber], 1);
    EXPECT_EQ(c1->block()[kBlockNameLength], 26);
    EXPECT_EQ(c1->u32(kBlockDataCapacity), 8192u);
    EXPECT_EQ(host::TakeConsole(), "") << "no lookup failed";
}

TEST_F(Dispatch, NameLookupByPrefixAndUnknownNames) {
    // A longer name beginning with an entry's whole path selects that entry.
    DeviceChannel* longer =
        RegisterDevice("\\RtDevice\\Quillmar\\Serial1-spare", DispatchRequest, 0, 121, 64);
    ASSERT_NE(longer, nullptr);
    {
        RawClient c("\\RtDevice\\Quillmar\\Serial1-spare");
        EXPECT_EQ(c.request(CommandOpen), 0u);
        EXPECT_EQ(c.block()[kBlockPortNumber], 1);
    }
    EXPECT_EQ(UnregisterDevice(longer), 1);
    // On a 2-port board the empty entries 2..7 match nothing.
    DeviceChannel* unknown =
        RegisterDevice("\\RtDevice\\Quillmar\\Serial7", DispatchRequest, 0, 121, 64);
    ASSERT_NE(unknown, nullptr);
    {
        RawClient c("\\RtDevice\\Quillmar\\Serial7");
        c.block()[kBlockPortNumber] = 0x33;
        EXPECT_EQ(c.request(CommandOpen), 0u);
        EXPECT_EQ(c.block()[kBlockPortNumber], 0x33) << "unchanged";
        EXPECT_EQ(c.request(CommandSetDtr), 87u) << "still not bound to any port";
        for (int i = 0; i < 200; ++i) c.request(CommandOpen);  // a client repeating it fast
    }
    EXPECT_EQ(host::TakeConsole(), "Driver name \\RtDevice\\Quillmar\\Serial7 does not exist.\n");
    EXPECT_EQ(UnregisterDevice(unknown), 1);
}

TEST_F(Dispatch, DeadClientAndOutOfTurnPostsLeaveTheChannelUsable) {
    ASSERT_EQ(c0->request(CommandOpen), 0u);
    // A client that dies holding the mutex, between request and reply.
    pid_t child = fork();
    if (child == 0) {
        RawClient dying("\\RtDevice\\Quillmar\\Serial0");
        ipc::MutexWait(&dying.mutex, 1000);
        dying.put32(kBlockCommand, CommandGetLineErrors);
        ipc::SemaphoreRelease(&dying.s1, 1, nullptr);
        raise(SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::string why;
    qm::Status st;
    auto port = qm::Port::Attach("0", host::Namespace(), &st, &why);
    ASSERT_TRUE(port) << why;
    uint32_t count = 99;
    EXPECT_EQ(port->rxCount(&count), qm::Status::Ok);
    EXPECT_EQ(count, 0u);
    // Stray posts on both semaphores: no stale reply is taken for a new one.
    ipc::SemaphoreRelease(&c0->s2, 1, nullptr);
    EXPECT_EQ(port->setDtr(true), qm::Status::Ok);
    uint8_t mcr = 0;
    EXPECT_EQ(port->modemControl(&mcr), qm::Status::Ok);
    EXPECT_EQ(mcr & qm::kMcrDtr, qm::kMcrDtr);
    ipc::SemaphoreRelease(&c0->s1, 1, nullptr);
    EXPECT_TRUE(rig::WaitFor([&] { return ipc::SemaphoreValue(&c0->s2) == 1; }));
    EXPECT_EQ(port->setDtr(false), qm::Status::Ok);
    EXPECT_EQ(port->modemControl(&mcr), qm::Status::Ok);
    EXPECT_EQ(mcr & qm::kMcrDtr, 0);
}

}  // namespace
