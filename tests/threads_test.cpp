// threads_test.cpp - what the locking promises to threads: the holder of
// KRMM_CriticalSection sees no list work of any partition, the partition list
// takes concurrent changes, a notification never mixes two registrations,
// a forked child inherits no held lock, and the lock works where a seccomp
// filter forbids membarrier.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

// What list work changes: chain heads and counts of both registries, and the
// counts made under the list lock.
struct ListState {
    std::array<MemoryBlock*, 1024> heads;
    std::array<unsigned long, 1024> counts;
    long blocks, calls;
    bool operator==(const ListState&) const = default;
};
ListState StateOf(const Partition& p) {
    ListState s;
    std::copy(std::begin(p.blockBuckets), std::end(p.blockBuckets), s.heads.begin());
    std::copy(std::begin(p.blockCounts), std::end(p.blockCounts), s.counts.begin());
    s.blocks = p.numBlocks;
    s.calls = p.numCalls;
    return s;
}

void Churn(Partition& p, std::atomic<long>& progress) {
    Handle keep[4] = {};
    for (int i = 0; i < 64; ++i) {
        Handle& h = keep[i % 4];
        if (h != nullptr) p.DisposeHandle(h);
        h = p.NewHandle(static_cast<size_t>(16 + i));
        if (i % 8 == 0) p.DisposePtr(p.NewPtr(6000));
    }
    for (Handle h : keep) p.DisposeHandle(h);
    progress.fetch_add(1);
}

// Grows `h` by 200 bytes at a time, so that every call moves its data.
void GrowMoving(Partition& p, Handle h) {
    const size_t size = p.GetHandleSize(h);
    ASSERT_TRUE(p.SetHandleSize(h, size < 60000 ? size + 200 : 6000));
}

// Resize takes no lock: moving a block's data neither waits for another
// thread's hold nor deadlocks in the holder's own call.
TEST(ExportedLock, HolderSeesNoListWorkAndWorkersProgressBetweenHolds) {
    Partition shared, own[2];
    std::atomic<bool> done{false};
    std::atomic<long> progress{0}, moves{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
        workers.emplace_back([&, w] {
            while (!done.load()) {
                Churn(own[w], progress);
                Churn(shared, progress);
            }
        });
    const Handle movedByWorker = shared.NewHandle(6000), movedByHolder = shared.NewHandle(6000);
    workers.emplace_back([&] {
        while (!done.load()) GrowMoving(shared, movedByWorker), moves.fetch_add(1);
    });
    for (int hold = 0; hold < 40; ++hold) {
        const bool entry = hold % 2 == 0;  // both ways of taking it
        entry ? KRMM::EnterCriticalSection(&KRMM_CriticalSection) : os_unfair_lock_lock(&KRMM_CriticalSection);
        const ListState before[3] = {StateOf(shared), StateOf(own[0]), StateOf(own[1])};
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        GrowMoving(shared, movedByHolder);
        const long movesBefore = moves.load();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (moves.load() < movesBefore + 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        EXPECT_GE(moves.load(), movesBefore + 2) << "a data move waited for the exported lock";
        EXPECT_EQ(StateOf(shared), before[0]);
        EXPECT_EQ(StateOf(own[0]), before[1]);
        EXPECT_EQ(StateOf(own[1]), before[2]);
        entry ? KRMM::LeaveCriticalSection(&KRMM_CriticalSection) : os_unfair_lock_unlock(&KRMM_CriticalSection);
        const long seen = progress.load();
        while (progress.load() < seen + 2) std::this_thread::yield();
    }
    done = true;
    for (auto& t : workers) t.join();
    shared.DisposeHandle(movedByWorker);
    shared.DisposeHandle(movedByHolder);
    for (Partition* p : {&shared, &own[0], &own[1]}) {
        EXPECT_EQ(p->GetBlockCount(), 0u);
        EXPECT_EQ(p->bytesAllocated, 0);
    }
}

TEST(PartitionList, MadeUsedAndDestroyedOnFourThreadsAtOnce) {
    ASSERT_EQ(Partition::GetPartitionListHead(), nullptr);
    std::atomic<int> ready{0};
    std::array<Partition*, 4> first{};
    const auto together = [&](int count) {
        ready.fetch_add(1);
        while (ready.load() < count) std::this_thread::yield();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            together(4);
            first[t] = Partition::GetPartitionByIdentifier("first", false);
            together(8);  // nobody lists another partition before all have asked
            std::atomic<long> progress{0};
            for (int i = 0; i < 100; ++i) {
                auto* p = new Partition();
                Churn(*p, progress);
                p->RemoveThisFromList();
                p->AddThisToList();
                if (i % 4 == 0) p->NewHandle(32);  // released by the destructor
                delete p;
            }
        });
    for (auto& t : threads) t.join();
    for (Partition* p : first) EXPECT_EQ(p, first[0]);
    EXPECT_EQ(Partition::GetPartitionListHead(), first[0]);
    EXPECT_EQ(first[0]->nextPartition, nullptr);
    EXPECT_EQ(first[0]->prevPartition, nullptr);
    char name[128];
    first[0]->GetIdentifier(name);
    EXPECT_STREQ(name, "first");
    Partition::FreeAllPartitions();
}

// Each function checks that it is called with its own user data. Slots 0-7
// take turns between functions 0-7 and 8-15 while notifications run.
constexpr int kListeners = 16;
int g_tags[kListeners];
std::atomic<long> g_mixed{0};
template <int N>
void Listener(int, size_t, void* userData) {
    g_mixed.fetch_add(userData != &g_tags[N], std::memory_order_relaxed);
}
template <int... N>
constexpr std::array<KRMM::MemoryCallbackProc, sizeof...(N)> Listeners(std::integer_sequence<int, N...>) {
    return {&Listener<N>...};
}

TEST(Callbacks, NotificationNeverMixesTwoRegistrationsUnderChurn) {
    Partition p;
    const auto procs = Listeners(std::make_integer_sequence<int, kListeners>{});
    std::atomic<bool> done{false};
    std::thread registrar([&] {
        while (!done.load()) {
            for (int half : {0, kListeners / 2}) {
                for (int k = half; k < half + kListeners / 2; ++k) p.RegisterMemoryCallbackFunction(procs[k], &g_tags[k]);
                for (int k = half; k < half + kListeners / 2; ++k) p.UnregisterMemoryCallbackFunction(procs[k]);
            }
        }
    });
    for (int i = 0; i < 200000; ++i) p.InvokeCallbacks(1, 0);
    done = true;
    registrar.join();
    EXPECT_EQ(g_mixed.load(), 0);
}

TEST(Fork, ChildInheritsNoHeldLock) {
    Partition p;
    std::atomic<bool> done{false};
    std::atomic<long> progress{0};
    std::thread worker([&] {
        while (!done.load()) Churn(p, progress);
    });
    for (int i = 0; i < 20; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(10);  // a lock inherited held would hang the child
            Partition mine;
            mine.DisposeHandle(mine.NewHandle(8));
            p.DisposeHandle(p.NewHandle(8));
            // Ends by exec: the copy of the other thread's memory is nobody's to
            // free, which a leak checker watching the child would report.
            execl("/bin/true", "true", static_cast<char*>(nullptr));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    done = true;
    worker.join();
}

// Refuses membarrier with `action`, lets every other system call through.
bool ForbidMembarrier(uint32_t action) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_membarrier, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, action),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Threads fight over one lock with sections long enough that waiters sleep.
// \returns 0 when the count is exact and membarrier is not in use.
int LockStress() {
    os_unfair_lock lock = {0};
    os_unfair_lock_lock(&lock);  // a waiter certainly sleeps once: the barrier is decided
    std::thread sleeper([&] { os_unfair_lock_lock(&lock); os_unfair_lock_unlock(&lock); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    os_unfair_lock_unlock(&lock);
    sleeper.join();
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                os_unfair_lock_lock(&lock);
                volatile long* shared = &counter;  // kept in memory: the section takes time
                for (int k = 0; k < 50; ++k) *shared = *shared + 1;
                os_unfair_lock_unlock(&lock);
            }
        });
    for (auto& t : threads) t.join();
    return (counter == 4L * 20000 * 50 ? 0 : 1) + (KRMM::diag::ProcessWideBarrierInUse() ? 2 : 0);
}

TEST(LockDeathTest, WorksUnderASeccompFilterThatForbidsMembarrier) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!ForbidMembarrier(SECCOMP_RET_ALLOW)) GTEST_SKIP() << "no seccomp filters here (emulator?)";
    // A filter that kills: detected, never called.
    EXPECT_EXIT(std::exit(ForbidMembarrier(SECCOMP_RET_KILL_PROCESS) ? LockStress() : 4),
                ::testing::ExitedWithCode(0), "");
    // A filter that refuses, with the host claiming it allows it: tried once, refused, never again.
    EXPECT_EXIT(
        {
            setenv("KRMM_MEMBARRIER", "1", 1);
            std::exit(ForbidMembarrier(SECCOMP_RET_ERRNO | EPERM) ? LockStress() : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
