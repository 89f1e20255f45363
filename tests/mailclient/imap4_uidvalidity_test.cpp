#include "mailclient/Imap4.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(Imap4UidValidity, TakenFromAnUntaggedOkLineOnly) {
  const struct {
    const char* reply;
    const char* stamp;
  } cases[] = {
      {"* 2 EXISTS\r\n* OK [UIDVALIDITY 1706700000] UIDs valid\r\nA0003 OK [READ-WRITE] done\r\n", "1706700000"},
      {"* ok [uidvalidity 7]\r\nA0003 OK\r\n", "7"},
      {"* 0 EXISTS\r\nA0003 OK done\r\n", ""},
      {"A0003 OK [UIDVALIDITY 5] not untagged\r\n", ""},
      {"* OK [UIDVALIDITY ] empty\r\n", ""},
      {"* OK [UIDVALIDITY 12x] junk\r\n", ""},
      {"* OK [UIDVALIDITY 123456789012345] too long\r\n", ""},
      {"* OK [UIDVALIDITY 42", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(imap4::UidValidityFrom(c.reply), c.stamp) << c.reply;
}

}  // namespace
}  // namespace tarnwick
