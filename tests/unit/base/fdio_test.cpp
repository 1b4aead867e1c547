// Whole-file reads: the limit, empty and missing files.
#include <gtest/gtest.h>

#include <string>

#include "base/fdio.h"
#include "base/sb.h"
#include "unit_helpers.h"

TEST(ReadFileAll, LimitEmptyAndMissingFiles) {
    TempDir d;
    std::string content;
    for (int i = 0; i < 65537; i++) content += static_cast<char>('a' + i % 26);
    std::string exact = d.write("exact", content.substr(0, 65536)), over = d.write("over", content);
    sb_t out;
    sb_appendz(&out, "pre:");
    ASSERT_EQ(read_file_all(exact.c_str(), &out, 65536), 0);
    EXPECT_EQ(str(out), "pre:" + content.substr(0, 65536));
    sb_t part;
    EXPECT_EQ(read_file_all(over.c_str(), &part, 65536), -1);
    EXPECT_EQ(str(part), content.substr(0, 65536));  // the sixteen whole chunks read before the limit
    sb_t none;
    EXPECT_EQ(read_file_all(over.c_str(), &none, 0), -1);
    EXPECT_EQ(none.len, 0u);

    std::string empty = d.write("empty", "");
    sb_t kept;
    EXPECT_EQ(read_file_all(empty.c_str(), &kept, 10), 0);
    EXPECT_EQ(kept.buf, nullptr);
    sb_appendz(&kept, "kept");
    EXPECT_EQ(read_file_all((d.path + "/missing").c_str(), &kept, 10), -1);
    EXPECT_EQ(read_file_all(empty.c_str(), &kept, 0), 0);
    EXPECT_EQ(str(kept), "kept");
}
