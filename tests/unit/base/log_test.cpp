// Log lines carry syslog priorities only while standard error is the journal's stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

#include "base/log.h"
#include "unit_helpers.h"

TEST(Log, JournalPrioritiesOnlyWhenStandardErrorIsTheNamedStream) {
    TempDir d;
    const char* kept = getenv("JOURNAL_STREAM");
    const std::string saved_env = kept ? kept : "";
    // JOURNAL_STREAM: unset, or the log file's "dev:ino" with its inode moved by `ino_add` and `tail` appended.
    const struct {
        bool set;
        unsigned ino_add;
        const char* tail;
        bool prefixed;
    } rows[] = {{true, 0, "", true}, {false, 0, "", false}, {true, 1, "", false}, {true, 0, "x", false}};
    const struct {
        int level;
        const char *name, *priority;
    } levels[] = {{LOG_DBG, "DBG", "<7>"},
                  {LOG_INF, "INF", "<6>"},
                  {LOG_WRN, "WRN", "<4>"},
                  {LOG_ERR, "ERR", "<3>"},
                  {LOG_AUD, "AUD", "<5>"}};
    for (const auto& row : rows) {
        const std::string path = d.write("log" + std::to_string(&row - rows), "");
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        const std::string value = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + row.ino_add) + row.tail;
        row.set ? setenv("JOURNAL_STREAM", value.c_str(), 1) : unsetenv("JOURNAL_STREAM");
        fflush(stderr);
        unique_fd saved(dup(2)), file(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        ASSERT_TRUE(saved && file);
        dup2(file.get(), 2);
        log_init("vornd", LOG_DBG);
        for (const auto& l : levels) log_msg(l.level, "m");
        dup2(saved.get(), 2);

        std::ifstream lines(path);
        std::string line;
        for (const auto& l : levels) {
            std::getline(lines, line);
            const std::regex want((row.prefixed ? std::string(l.priority) : "") + R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d )" +
                                  l.name + " vornd m");
            EXPECT_TRUE(std::regex_match(line, want)) << value << ": " << line;
        }
    }
    saved_env.empty() ? unsetenv("JOURNAL_STREAM") : setenv("JOURNAL_STREAM", saved_env.c_str(), 1);
    log_init("vornd", LOG_INF);
}
