// The PTY sessions (output ring, session list, closes racing writers). Every test gives back each
// slot it takes, so the table starts empty for the next one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "fake_session.h"
#include "jobs/jobs.h"
#include "jobs/jobs_internal.h"
#include "jobs/pty_session.h"

namespace {

// A session with only its ring set up: no terminal, no reader thread, no table slot.
struct RingSlot {
    job_t job;
    pty_session_t s;
    explicit RingSlot(size_t cap) : s(&job, -1, 1, 24, 80, "", cap) { job.session = &s; }

    // Each change is made under the ring lock and wakes the readers, as the reader thread does.
    void append(const std::string& b) {
        lock_guard_t lock(s.rmu);
        pty_ring_append(&s, reinterpret_cast<const unsigned char*>(b.data()), b.size());
        s.rcv.notify_all();
    }
    void exit(child_status_t st) {
        lock_guard_t lock(s.rmu);
        s.status = st;
        s.child_exited.store(1);
        s.rcv.notify_all();
    }
    void cancel() {
        lock_guard_t lock(s.rmu);
        job.cancel.store(1);
        s.rcv.notify_all();
    }
    void close() {
        lock_guard_t lock(s.rmu);
        s.closed = true;
        s.rcv.notify_all();
    }
    // One read of at most 8192 bytes from the tail's offset; the bytes in *out.
    int read(pty_tail_t* t, std::string* out, int* code = nullptr) {
        unsigned char buf[8192];
        size_t n = 99;
        int r = job_pty_read(&job, t, buf, sizeof buf, &n, code);
        out->assign(reinterpret_cast<char*>(buf), r > 0 ? n : 0);
        return r;
    }
};

// Bytes [from, from + n) of the test stream: a period of 23, prime to every ring size used.
std::string pattern(unsigned long long from, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('A' + (from + i) % 23);
    return s;
}

}  // namespace

// Reading from `from` starts at `start`, the oldest byte held, takes all it can in one call, then
// yields every later byte once up to the total; reads at or past the total end with the exit code.
TEST(PtyRing, ReadsFollowTheStreamAcrossWrapsOverwritesLaggingReadersAndTheExit) {
    struct Row {
        size_t cap, first, step, total;
        unsigned long long from, start;
    };
    const Row rows[] = {
        {16, 10, 10, 20, 10, 10},                        // append across the wrap
        {16, 10, 10, 20, 5, 5},                          // one read across the ring's end
        {16, 7, 40, 47, 0, 31},                          // a chunk larger than the ring keeps only its newest bytes
        {PTY_RING_BYTES, 8192, 8192, 600000, 0, 75712},  // a reader that fell behind
    };
    for (const Row& w : rows) {
        SCOPED_TRACE(testing::Message() << "cap " << w.cap << " total " << w.total << " from " << w.from);
        RingSlot r(w.cap);
        for (size_t o = 0, n = w.first; o < w.total; o += n, n = std::min(w.step, w.total - o)) r.append(pattern(o, n));
        r.exit({-1, SIGKILL});  // told as minus the signal
        pty_tail_t t, past;
        t.off = w.from;
        past.off = w.total + 1000;
        std::string got, all;
        ASSERT_EQ(r.read(&t, &got), static_cast<int>(std::min<unsigned long long>(8192, w.total - w.start)));
        for (all = got; t.off < w.total; all += got) ASSERT_GT(r.read(&t, &got), 0);
        EXPECT_EQ(all, pattern(w.start, w.total - w.start));
        EXPECT_EQ(t.off, w.total);
        for (pty_tail_t* at : {&t, &past}) {
            int code = 0;
            EXPECT_EQ(r.read(at, &got, &code), 0);
            EXPECT_EQ(code, -9);
        }
        EXPECT_EQ(r.read(&past, &got), 0);  // the code pointer is optional
    }
}

// A read past the total waits for its offset; a cancel does not end it (the shell's end does),
// a close ends it and wins over later output.
TEST(PtyRing, ReadWaitsForItsOffsetUntilOutputOrClose) {
    RingSlot r(64);
    r.append("0123");
    pty_tail_t t;
    t.off = 8;
    std::string got;
    auto later = std::chrono::milliseconds(50);
    auto waiting = std::async(std::launch::async, [&] { return r.read(&t, &got); });
    EXPECT_EQ(waiting.wait_for(later), std::future_status::timeout);
    r.append("456");  // total 7: still short of 8
    EXPECT_EQ(waiting.wait_for(later), std::future_status::timeout);
    r.append("789ab");
    EXPECT_EQ(waiting.get(), 4);
    EXPECT_EQ(got, "89ab");
    EXPECT_EQ(t.off, 12u);

    auto closed = std::async(std::launch::async, [&] { return r.read(&t, &got); });
    r.cancel();
    EXPECT_EQ(closed.wait_for(later), std::future_status::timeout);
    r.close();
    EXPECT_EQ(closed.get(), -1);
    r.append("late");
    EXPECT_EQ(r.read(&t, &got), -1);
}

TEST(PtySessions, ListEscapesItsStringsAndOtherJobsAreNoSessions) {
    job_t* plain = job_alloc();
    job_t* pty = job_alloc();
    ASSERT_TRUE(plain && pty);
    auto session = std::make_unique<fake_session_t>(pty, 0, "/dev/pts/\"7\\\n");
    char* list = jobs_pty_list_json();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list, std::string("[{\"job_id\":\"") + pty->id +  // exact bytes: escaped, hence valid JSON
                        "\",\"tty\":\"/dev/pts/\\\"7\\\\\\n\",\"rows\":24,\"cols\":80,\"age\":0,\"exited\":false}]");
    free(list);

    // Interfaces that need a session refuse a job that is not one.
    EXPECT_EQ(job_pty_resize(plain->id, 30, 100), -1);
    EXPECT_EQ(job_pty_write(plain->id, reinterpret_cast<const unsigned char*>("x"), 1), -1);
    EXPECT_EQ(job_pty_close(plain->id), -1);
    pty_tail_t t;
    EXPECT_EQ(job_pty_acquire(plain->id, &t), nullptr);
    EXPECT_EQ(job_pty_acquire("", &t), nullptr);
    EXPECT_EQ(job_pty_start(plain, 0, 0, 24, 80, "", 4096, &t), -1);  // pid 0: kill() would hit our group
    EXPECT_EQ(job_pty_start(nullptr, 0, 1234, 24, 80, "", 4096, &t), -1);
    EXPECT_EQ(plain->session, nullptr);

    session.reset();
    job_release(plain);
}

// Writers and resizers hammer a session while it closes and a pipe takes the freed descriptor
// number: no byte may land there, and once closed the session refuses everything.
TEST(PtySessions, WriteAndResizeRacingCloseStayOffTheFreedDescriptor) {
    const auto* z = reinterpret_cast<const unsigned char*>("Z");
    for (int round = 0; round < 5; round++) {
        int master = -1;
        char name[128];  // forkpty writes at most a /dev/pts path
        pid_t pid = forkpty(&master, name, nullptr, nullptr);
        if (pid == 0) {
            execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        ASSERT_EQ(fcntl(master, F_SETFD, FD_CLOEXEC), 0);
        job_t* job = job_alloc();
        pty_tail_t creator;
        ASSERT_TRUE(job && job_pty_start(job, master, pid, 24, 80, name, 4096, &creator) == 0);
        job_pty_tail_release(job, &creator);  // the creator's tail is not needed here
        job_release(job);                     // as once the request has ended: the session stays
        std::string id = job->id;
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop) {
                job_pty_write(id.c_str(), z, 1);
                job_pty_resize(id.c_str(), 10, 10);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(job_pty_close(id.c_str()), 0);
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        writer.join();
        char c;
        EXPECT_EQ(read(p[0], &c, 1), -1) << "a write reached a reused descriptor";
        close(p[0]);
        close(p[1]);
        EXPECT_EQ(job_pty_write(id.c_str(), z, 1), -1);
        EXPECT_EQ(job_pty_close(id.c_str()), -1);
    }
}
