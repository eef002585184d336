// The request channel as a trust boundary: what a hostile process of the
// same user can do to one port's objects stays on that port, and what a
// process of another user can do is nothing.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "client/client.h"
#include "client/machine_info.h"
#include "platform/ipc.h"
#include "platform/names.h"
#include "rig.h"

namespace {

const std::string kPort0 = "\\RtDevice\\Quillmar\\Serial0";

using Objects = rig::PortObjects;

// Runs `child` in a forked process as an unprivileged user.
int AsNobody(const std::function<int()>& child) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0) {
            _exit(100);
        }
        _exit(child());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A running driver on one 8-port board, unpaced: ports 0-1 and 2-3 are
// null-modem pairs, ports 0 to 3 attached and opened by honest clients.
class Trust : public ::testing::Test {
protected:
    void SetUp() override {
        r = std::make_unique<rig::Rig>(rig::Rig::realtime(true));
        sim::BoardConfig c;
        c.model = 4;
        r->machine->addBoard(c);
        ASSERT_EQ(r->machine->wire(0, 0, "null-modem:0.1"), "");
        ASSERT_EQ(r->machine->wire(0, 2, "null-modem:0.3"), "");
        r->machine->start();
        r->bringUp(5);
        ASSERT_NE(g_InterruptHandle, nullptr);
        for (int p = 0; p < 4; ++p) {
            port[p] = attach(p);
            ASSERT_TRUE(port[p]);
            ASSERT_EQ(port[p]->open(), qm::Status::Ok);
            std::string why;
            ASSERT_EQ(port[p]->setLineSettings(*qm::ParseLineSettings("115200,8N1", &why)),
                      qm::Status::Ok);
        }
    }
    void TearDown() override {
        for (auto& p : port) p.reset();
        r.reset();
    }
    std::unique_ptr<qm::Port> attach(int p, qm::Status* status = nullptr) {
        qm::Status st;
        std::string why;
        auto a = qm::Port::Attach(std::to_string(p), host::Namespace(), &st, &why);
        if (status) *status = st;
        return a;
    }
    // Sends a pattern from `from` and reads it back on `to`: exactly those
    // bytes, in order, nothing more.
    ::testing::AssertionResult carries(int from, int to, size_t n, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> sent(n);
        for (auto& b : sent) b = static_cast<uint8_t>(rng());
        qm::Status s = port[from]->writeAll(sent.data(), sent.size(), 2000);
        if (s != qm::Status::Ok) {
            return ::testing::AssertionFailure() << "write: " << qm::StatusText(s);
        }
        std::vector<uint8_t> got;
        uint8_t buf[8192];
        while (got.size() < n) {
            uint32_t k = 0;
            s = port[to]->read(buf, sizeof buf, 2000, &k);
            if (s != qm::Status::Ok) break;
            got.insert(got.end(), buf, buf + k);
        }
        uint32_t extra = 0;
        uint32_t k = 0;
        if (port[to]->read(buf, sizeof buf, 50, &k) == qm::Status::Ok) extra = k;
        if (got != sent || extra != 0) {
            return ::testing::AssertionFailure() << "got " << got.size() << " of " << n
                                                 << " bytes (" << (got == sent ? "equal" : "differ")
                                                 << "), then " << extra << " more";
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<rig::Rig> r;
    std::unique_ptr<qm::Port> port[4];
};

TEST_F(Trust, HostileActionsOnOnePortStayOnThatPort) {
    enum class Then { Serves, Damaged };
    struct Case {
        const char* what;
        std::function<void(Objects&)> act;
        Then port0;
    };
    const Case cases[] = {
        {"dataCapacity poked", [](Objects& o) { o.put32(kBlockDataCapacity, 3); }, Then::Serves},
        {"namePtr poked", [](Objects& o) { o.put32(kBlockNamePtr, 0x10); }, Then::Serves},
        {"nameLength poked", [](Objects& o) { o.block()[kBlockNameLength] = 0xFF; }, Then::Serves},
        {"portNumber poked", [](Objects& o) { o.block()[kBlockPortNumber] = 2; }, Then::Serves},
        {"dataPtr poked", [](Objects& o) { o.put32(kBlockDataPtr, 0); }, Then::Serves},
        {"stop code left in the block",
         [](Objects& o) { o.put32(kBlockCommand, CommandStop); }, Then::Serves},
        {"bare post on the request semaphore",
         [](Objects& o) { ipc::SemaphoreRelease(&o.s1, 1, nullptr); }, Then::Serves},
        {"bare post on the reply semaphore",
         [](Objects& o) { ipc::SemaphoreRelease(&o.s2, 1, nullptr); }, Then::Serves},
        {"request count scribbled",
         [](Objects& o) { static_cast<std::atomic<uint32_t>*>(o.s1.payload)->store(0xFFFFFFFF); },
         Then::Serves},
        {"reply count scribbled",
         [](Objects& o) { static_cast<std::atomic<uint32_t>*>(o.s2.payload)->store(0x7FFFFFFF); },
         Then::Serves},
        {"section cut short", [](Objects& o) { ASSERT_EQ(ftruncate(o.section.fd, 0), 0); },
         Then::Damaged},
        {"request semaphore cut short", [](Objects& o) { ASSERT_EQ(ftruncate(o.s1.fd, 0), 0); },
         Then::Damaged},
        {"reply semaphore cut short", [](Objects& o) { ASSERT_EQ(ftruncate(o.s2.fd, 0), 0); },
         Then::Damaged},
        {"mutex cut short", [](Objects& o) { ASSERT_EQ(ftruncate(o.mutex.fd, 0), 0); },
         Then::Damaged},
    };
    uint32_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        {
            Objects hostile(kPort0);
            ASSERT_TRUE(hostile.ok);
            c.act(hostile);
            // The honest client comes after the stray request was taken (a
            // post racing a request can still spoil that one request: its
            // own port's, as any permitted client can).
            if (c.port0 == Then::Serves) {
                EXPECT_TRUE(rig::WaitFor([&] { return ipc::SemaphoreValue(&hostile.s1) == 0; }));
            }
            // The server answers a stray request with nothing to do.
            uint32_t count = 0;
            qm::Status st = port[0]->rxCount(&count);
            if (c.port0 == Then::Serves) {
                EXPECT_EQ(st, qm::Status::Ok) << qm::StatusText(st);
                EXPECT_TRUE(carries(0, 1, 3000, seed++)) << "the port itself";
            } else {
                EXPECT_EQ(st, qm::Status::Damaged) << qm::StatusText(st);
                qm::Status again;
                EXPECT_FALSE(attach(0, &again));
                EXPECT_NE(again, qm::Status::Ok);
                // A request makes the server touch its block and both
                // semaphores: it carries on over private memory and says
                // so once (it never touches the mutex).
                ipc::SemaphoreRelease(&hostile.s1, 1, nullptr);
                if (std::string(c.what).rfind("mutex", 0) != 0) {
                    std::string console;
                    EXPECT_TRUE(rig::WaitFor([&] {
                        console += host::TakeConsole();
                        return console.find("was cut short by another process") != std::string::npos;
                    }));
                }
            }
            EXPECT_TRUE(carries(2, 3, 3000, seed++)) << "another port";
            EXPECT_TRUE(carries(3, 2, 3000, seed++)) << "another port, back";
        }
        auto t0 = std::chrono::steady_clock::now();
        TearDown();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2))
            << "unregistration never waits on a client";
    }
}

TEST_F(Trust, ABarePostReplaysNothing) {
    Objects hostile(kPort0);
    ASSERT_TRUE(hostile.ok);
    ASSERT_TRUE(carries(0, 1, 1024, 7));
    ipc::SemaphoreRelease(&hostile.s1, 1, nullptr);
    EXPECT_TRUE(rig::WaitFor([&] { return ipc::SemaphoreValue(&hostile.s1) == 0; }));
    uint8_t buf[64];
    uint32_t got = 0;
    EXPECT_EQ(port[1]->read(buf, sizeof buf, 100, &got), qm::Status::Timeout)
        << got << " bytes sent a second time";
    EXPECT_TRUE(carries(0, 1, 100, 8));
}

TEST_F(Trust, AHeldMutexCostsOnlyItsOwnPortItsOwnTimeOut) {
    Objects hostile(kPort0);
    std::atomic<int> stage{0};
    std::thread holder([&] {  // the mutex is recursive: hold it from another thread
        ipc::MutexWait(&hostile.mutex, 1000);
        stage = 1;
        while (stage != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ipc::MutexRelease(&hostile.mutex);
    });
    ASSERT_TRUE(rig::WaitFor([&] { return stage == 1; }));
    port[0]->setRequestTimeout(200);
    uint8_t mcr = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port[0]->modemControl(&mcr), qm::Status::Busy);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(carries(2, 3, 2000, 9));
    stage = 2;
    holder.join();
    EXPECT_EQ(port[0]->modemControl(&mcr), qm::Status::Ok);
}

TEST_F(Trust, AReplyThatCameLateIsNeverTakenForTheNextOne) {
    // Freeze the port's server inside a request: the client gives up, and
    // the next request must not read the frozen one's reply as its own.
    port[1]->setRequestTimeout(100);
    DisableProcessorInterrupts();  // the server's rx-count read waits for it
    std::thread frozen([&] {
        uint32_t count = 0;
        EXPECT_EQ(port[1]->rxCount(&count), qm::Status::NoReply);
    });
    frozen.join();
    EnableProcessorInterrupts();
    port[1]->setRequestTimeout(2000);
    uint32_t count = 0xFFFF;
    EXPECT_EQ(port[1]->rxCount(&count), qm::Status::Ok);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(carries(0, 1, 500, 10));
}

TEST_F(Trust, AClientRefusesABlockOfTheWrongSize) {
    Objects o(kPort0);
    o.put32(kBlockDataCapacity, 65536);  // would let a client write past the end
    qm::Status st;
    std::string why;
    EXPECT_FALSE(qm::Port::Attach("0", host::Namespace(), &st, &why));
    EXPECT_EQ(st, qm::Status::Damaged);
    EXPECT_NE(why.find("8236 bytes for a data area of 65536"), std::string::npos) << why;
}

TEST_F(Trust, ARestartedDriverIsNamedAsSuch) {
    // The objects go and come back under the same names, as a new driver's.
    port[0]->setRequestTimeout(300);
    for (auto& c : g_Channels) {
        if (c) UnregisterDevice(c);
        c = nullptr;
    }
    g_Channels[0] = RegisterDevice(kPort0.c_str(), DispatchRequest, 0, 121, 8192);
    ASSERT_NE(g_Channels[0], nullptr);
    uint32_t count = 0;
    EXPECT_EQ(port[0]->rxCount(&count), qm::Status::Restarted);
    for (auto& p : port) p.reset();
}

TEST_F(Trust, AnotherUserCanOpenNothingAndPlantNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    std::string ns = host::Namespace();
    std::string dir = names::NamespaceDirectory(ns);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(AsNobody([&] {
                  int failures = 0;
                  for (const char* suffix : {".sm", ".s1", ".s2", ""}) {
                      ipc::Object o;
                      ipc::Kind kind = suffix[0] == 0 ? ipc::Kind::Mutex
                                       : suffix[2] == 'm' ? ipc::Kind::Section
                                                          : ipc::Kind::Semaphore;
                      if (ipc::Open(ns, kPort0 + suffix, kind, &o) != ipc::Status::Denied) ++failures;
                  }
                  std::string planted = dir + "/_5CRtDevice_5CQuillmar_5CSerial9.sm";
                  if (open(planted.c_str(), O_CREAT | O_RDWR, 0666) >= 0) ++failures;
                  qm::Status s;
                  std::string why;
                  if (qm::Port::Attach("0", ns, &s, &why) || s != qm::Status::PermissionDenied ||
                      why.rfind("permission denied: ", 0) != 0) {
                      ++failures;
                  }
                  return failures;
              }),
              0);
    EXPECT_TRUE(carries(0, 1, 100, 11));
}

TEST(Namespace, OnlyADirectoryOfOurOwnIsUsed) {
    struct Case {
        const char* what;
        std::function<void(const std::string& dir)> plant;
        bool usable;
        bool needsRoot;
    };
    const Case cases[] = {
        {"nothing there", [](const std::string&) {}, true, false},
        {"our own, too open", [](const std::string& d) { mkdir(d.c_str(), 0777); chmod(d.c_str(), 0777); },
         true, false},
        {"a symlink to our own", [](const std::string& d) {
             mkdir((d + "-real").c_str(), 0700);
             symlink((d + "-real").c_str(), d.c_str());
         }, false, false},
        {"a file", [](const std::string& d) { close(open(d.c_str(), O_CREAT | O_RDWR, 0600)); },
         false, false},
        {"another user's", [](const std::string& d) {
             AsNobody([&] { return mkdir(d.c_str(), 0777) == 0 ? 0 : 1; });
         }, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) continue;
        std::string ns = rig::UniqueNamespace("dir");
        std::string dir = names::NamespaceDirectory(ns);
        c.plant(dir);
        std::string why;
        EXPECT_EQ(ipc::PrepareNamespace(ns, &why), c.usable) << why;
        if (c.usable) {
            struct stat st;
            ASSERT_EQ(lstat(dir.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        } else {
            EXPECT_FALSE(why.empty());
            ipc::Object o;
            EXPECT_NE(ipc::CreateSection(ns, "x", 16, &o), ipc::Status::Ok);
        }
        unlink(dir.c_str());
        rmdir(dir.c_str());
        rmdir((dir + "-real").c_str());
    }
}

TEST(MachineInfo, APlantedLinkIsNeverFollowed) {
    std::string ns = rig::UniqueNamespace("info");
    ASSERT_TRUE(ipc::PrepareNamespace(ns, nullptr));
    std::string target = "/tmp/qm-info-target-" + std::to_string(getpid());
    {
        int fd = open(target.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "keep", 4), 4);
        close(fd);
    }
    std::string link = names::NamespaceDirectory(ns) + "/_info." + std::to_string(getpid());
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    qm::MachineInfo info;
    info.pid = getpid();
    EXPECT_TRUE(qm::PublishMachineInfo(ns, info));
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4) << "the link's target untouched";
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(qm::ReadMachineInfo(ns).size(), 1u);
    qm::RemoveMachineInfo(ns);
    unlink(target.c_str());
    struct stat gone;
    EXPECT_NE(stat(names::NamespaceDirectory(ns).c_str(), &gone), 0) << "nothing left behind";
}

}  // namespace
