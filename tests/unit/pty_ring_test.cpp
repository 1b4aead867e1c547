#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "jobs.h"
#include "jobs_internal.h"
#include "jsmn.h"

namespace {

// A session slot with only its ring set up: no terminal, no reader thread.
struct RingSlot {
    job_t job;
    explicit RingSlot(size_t cap) {
        job.ring = static_cast<unsigned char*>(malloc(cap));
        job.ring_cap = cap;
    }
    ~RingSlot() { free(job.ring); }

    void append(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(job.rmu);
        job_ring_append(&job, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        job.rcv.notify_all();
    }
    void exit_with(int code) {
        std::lock_guard<std::mutex> lock(job.rmu);
        job.exit_code = code;
        job.child_exited.store(1);
        job.rcv.notify_all();
    }
    // One read of at most `cap` bytes from *off; the bytes in *out.
    int read(unsigned long long* off, std::string* out, size_t cap = 8192, int* code = nullptr) {
        std::vector<unsigned char> buf(cap);
        size_t n = 99;
        int r = job_pty_read(&job, off, buf.data(), cap, &n, code);
        out->assign(reinterpret_cast<char*>(buf.data()), r > 0 ? n : 0);
        return r;
    }
};

// Byte at stream offset `o` of the test pattern: varies with a period prime to any ring size.
char pattern_at(unsigned long long o) { return static_cast<char>('A' + o % 23); }

std::string pattern(unsigned long long from, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = pattern_at(from + i);
    return s;
}

}  // namespace

TEST(PtyRing, AppendAcrossTheWrapKeepsStreamOrder) {
    RingSlot r(16);
    r.append(pattern(0, 10));
    r.append(pattern(10, 10));  // positions 10..15 then 0..3
    EXPECT_EQ(r.job.ring_total, 20u);
    EXPECT_EQ(r.job.ring_len, 16u);

    unsigned long long off = 10;
    std::string got;
    ASSERT_EQ(r.read(&off, &got), 10);
    EXPECT_EQ(got, pattern(10, 10));
    EXPECT_EQ(off, 20u);

    off = 5;  // within the ring: read across its end in one call
    ASSERT_EQ(r.read(&off, &got), 15);
    EXPECT_EQ(got, pattern(5, 15));
}

TEST(PtyRing, ChunkLargerThanCapacityKeepsOnlyItsNewestBytes) {
    RingSlot r(16);
    r.append(pattern(0, 7));
    r.append(pattern(7, 40));
    EXPECT_EQ(r.job.ring_total, 47u);
    EXPECT_EQ(r.job.ring_len, 16u);
    unsigned long long off = 0;
    std::string got;
    ASSERT_EQ(r.read(&off, &got), 16);
    EXPECT_EQ(got, pattern(31, 16));
    EXPECT_EQ(off, 47u);
}

TEST(PtyRing, ReaderThatFellBehindJumpsToOldestByte) {
    RingSlot r(PTY_RING_BYTES);
    for (unsigned long long o = 0; o < 600000; o += 8192)
        r.append(pattern(o, static_cast<size_t>(std::min<unsigned long long>(8192, 600000 - o))));
    unsigned long long off = 0;
    std::string got;
    ASSERT_EQ(r.read(&off, &got, 8192), 8192);
    EXPECT_EQ(got, pattern(75712, 8192));
    EXPECT_EQ(off, 75712u + 8192u);

    // Reading on to the end yields every remaining byte once, in order.
    std::string rest;
    while (off < 600000) {
        ASSERT_GT(r.read(&off, &got, 8192), 0);
        rest += got;
    }
    EXPECT_EQ(rest, pattern(75712 + 8192, 600000 - 75712 - 8192));
}

TEST(PtyRing, ReadsAtAndBeyondTheEndOfAnExitedShell) {
    RingSlot r(64);
    r.append("hello");
    r.exit_with(-9);
    unsigned long long off = 0;
    std::string got;
    int code = 0;
    ASSERT_EQ(r.read(&off, &got, 3, &code), 3);  // short reads advance by what they took
    EXPECT_EQ(got, "hel");
    ASSERT_EQ(r.read(&off, &got, 8192, &code), 2);
    EXPECT_EQ(r.read(&off, &got, 8192, &code), 0);
    EXPECT_EQ(code, -9);

    unsigned long long beyond = 1000;
    code = 0;
    EXPECT_EQ(r.read(&beyond, &got, 8192, &code), 0);
    EXPECT_EQ(code, -9);
    EXPECT_EQ(r.read(&beyond, &got, 8192, nullptr), 0);  // the code pointer is optional
}

TEST(PtyRing, OffsetBeyondTotalWaitsUntilTheStreamReachesIt) {
    RingSlot r(64);
    r.append("0123");
    unsigned long long off = 8;
    std::string got;
    std::atomic<int> result{-2};
    std::thread t([&] { result = r.read(&off, &got); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    r.append("456");  // total 7: still short of 8
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result, -2);
    r.append("789ab");
    t.join();
    EXPECT_EQ(result, 4);
    EXPECT_EQ(got, "89ab");
    EXPECT_EQ(off, 12u);
}

TEST(PtyRing, CancelEndsWaitersAndWinsOverBufferedOutput) {
    RingSlot r(64);
    unsigned long long off = 0;
    std::string got;
    std::atomic<int> result{-2};
    std::thread t([&] { result = r.read(&off, &got); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> lock(r.job.rmu);
        r.job.cancel.store(1);
        r.job.rcv.notify_all();
    }
    t.join();
    EXPECT_EQ(result, -1);
    r.append("late");
    EXPECT_EQ(r.read(&off, &got), -1);
}

TEST(PtySessions, ListEscapesItsStringsAndSkipsOtherJobs) {
    job_t* plain = job_alloc();
    job_t* pty = job_alloc();
    ASSERT_TRUE(plain && pty);
    pty->is_pty = 1;
    pty->rows = 24;
    pty->cols = 80;
    pty->created = time(nullptr);
    strcpy(pty->tty, "/dev/pts/\"7\\\n");
    char* list = jobs_pty_list_json();
    ASSERT_NE(list, nullptr);
    std::string expect = std::string("[{\"job_id\":\"") + pty->id +
                         "\",\"tty\":\"/dev/pts/\\\"7\\\\\\n\",\"rows\":24,\"cols\":80,\"age\":0,"
                         "\"exited\":false}]";
    EXPECT_EQ(list, expect);
    jsmn_parser p;
    jsmn_init(&p);
    jsmntok_t toks[64];
    EXPECT_GT(jsmn_parse(&p, list, strlen(list), toks, 64), 0);
    free(list);

    // Interfaces that need a session refuse a job that is not one.
    EXPECT_EQ(job_pty_resize(plain->id, 30, 100), -1);
    EXPECT_EQ(job_pty_write(plain->id, reinterpret_cast<const unsigned char*>("x"), 1), -1);
    EXPECT_EQ(job_pty_close(plain->id), -1);
    EXPECT_EQ(job_pty_acquire(plain->id), nullptr);
    EXPECT_EQ(job_pty_acquire(""), nullptr);

    pty->is_pty = 0;
    job_release(pty);
    job_release(plain);
    list = jobs_pty_list_json();
    EXPECT_STREQ(list, "[]");
    free(list);
}

namespace {

// A session around `sleep 30` on a new terminal, with its creator's tailer count already
// given back. Returns null when no terminal can be had.
job_t* start_sleep_session() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return nullptr;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) return nullptr;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int fd = open(name, O_RDWR);
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    job_t* job = job_alloc();
    if (!job || job_pty_start(job, master, pid, 24, 80, name, 4096) != 0) return nullptr;
    job_pty_tail_release(job);
    return job;
}

}  // namespace

// Writers and resizers hammer a session while it is closed, and the descriptor number the
// close frees is taken at once by a pipe: no byte may land there, and once the close has
// returned the session refuses everything.
TEST(PtySessions, WriteAndResizeRacingCloseStayOffTheFreedDescriptor) {
    for (int round = 0; round < 5; round++) {
        job_t* job = start_sleep_session();
        ASSERT_NE(job, nullptr);
        std::string id = job->id;
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop) {
                job_pty_write(id.c_str(), reinterpret_cast<const unsigned char*>("Z"), 1);
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
        EXPECT_EQ(job_pty_write(id.c_str(), reinterpret_cast<const unsigned char*>("Z"), 1), -1);
        EXPECT_EQ(job_pty_close(id.c_str()), -1);
    }
}

TEST(PtySessions, StartRefusesWhatWouldSignalAProcessGroup) {
    job_t* job = job_alloc();
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job_pty_start(job, 0, 0, 24, 80, "", 4096), -1);  // pid 0: kill() would hit our group
    EXPECT_EQ(job_pty_start(nullptr, 0, 1234, 24, 80, "", 4096), -1);
    EXPECT_EQ(job->is_pty, 0);
    job_release(job);
}
