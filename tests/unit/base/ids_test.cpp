// Ids: sixteen lower-case hex digits, never repeated.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "base/ids.h"

TEST(GenId, SixteenLowerHexDigitsAndDistinct) {
    std::set<std::string> seen;
    for (char id[17]; seen.size() < 1000; seen.insert(id)) {
        memset(id, 'X', sizeof id);
        gen_id(id);
        ASSERT_TRUE(id[16] == '\0' && strspn(id, "0123456789abcdef") == 16) << std::string(id, sizeof id);
        ASSERT_EQ(seen.count(id), 0u) << id;
    }
}
