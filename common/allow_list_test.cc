#include "common/allow_list.h"

#include <gtest/gtest.h>

namespace mailvane {
namespace {

TEST(FormatIPAddressTest, KeepsDigitsAndDotsAndNormalises) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.168.001.018", "192.168.1.18"},
      {"  10.0.0.1  ", "10.0.0.1"},
      {"1 0.0.0.1", "10.0.0.1"},
      {"a1b.2.3.4", "1.2.3.4"},
      {"-1.2.3.4", "1.2.3.4"},  // the sign is dropped like any other character
      {"0.0.0.0", "0.0.0.0"},
      {"000.00.0.0255", "0.0.0.255"},
      {"255.255.255.255", "255.255.255.255"},
      {"\t1.2.3.4\r\n", "1.2.3.4"},
      {"1.2.3", ""},
      {"1..2.3", ""},
      {"1.2.3.4.", ""},
      {".1.2.3", ""},
      {"1.2.3.4.5", ""},
      {"256.1.1.1", ""},
      {"1.1.1.256", ""},
      {"1.2.3.99999999999999999999", ""},  // beyond 32 bits: above 255
      {"4294967297.0.0.1", ""},
      {"", ""},
      {"....", ""},
      {"a.b.c.d", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(FormatIPAddress(text), expected) << text;
}

struct AdmitCase {
  const char* list;
  int loaded;
  const char* client;
  int admitted;
};

TEST(AllowListTest, AdmissionAsATable) {
  const AdmitCase cases[] = {
      {"127.0.0.1", 1, "127.0.0.1", 1},
      {"127.0.0.1", 1, "127.0.0.2", 0},
      {"127.0.0.1, 192.168.100.18", 1, "192.168.100.18", 1},
      {"127.0.0.1 ,192.168.100.18 ", 1, "127.0.0.1", 1},
      {"10.0.0.0/255.0.0.0", 1, "10.1.2.3", 1},
      {"10.0.0.0/255.0.0.0", 1, "11.0.0.1", 0},
      {"168.0.100.20/255.255.255.255", 1, "168.0.100.20", 1},
      {"168.0.100.20/255.255.255.255", 1, "168.0.100.21", 0},
      {"0.0.0.0/0.0.0.0", 1, "203.0.113.9", 1},
      {"127.0.0.1/", 1, "127.0.0.1", 1},  // empty mask: exact text only
      {"127.0.0.1/", 1, "127.0.0.2", 0},
      {"192.168.001.018", 1, "192.168.1.18", 0},
      {"192.168.001.018", 1, "192.168.001.018", 1},
      {"192.168.001.018/255.255.255.255", 1, "192.168.1.18", 1},
      {"10.0.0.0/255.0.0.0/junk", 1, "10.9.9.9", 1},  // text after a second "/" is ignored
      {"10.0.0.0 /255.0.0.0", 1, "10.0.0.7", 1},      // "10.0.0.0 " matches by value only
      {"1.2.3.4,bad", 0, "1.2.3.4", 1},
      {"1.2.3.4,,5.6.7.8", 0, "1.2.3.4", 1},
      {"255.255.0/1.2.3.4", 0, "1.2.3.4", 0},
      {"10.0.0.0/255.255.0", 0, "10.0.0.1", 0},
      {"10.0.0.0/255.255.0", 0, "10.0.0.0", 1},  // the entry is stored before it is judged
      {"1.2.3.300", 0, "1.2.3.44", 0},
      {"1.2.3", 0, "1.2.3", 1},
      {"5.5.5.5/255.0.0.0", 1, "5.x.y.z", 0},  // a client that is no address matches by text only
      {"", 0, "127.0.0.1", 0},
  };
  for (const AdmitCase& c : cases) {
    AllowList list;
    EXPECT_EQ(list.LoadAllowedIPs(c.list), c.loaded) << c.list;
    EXPECT_EQ(list.IsIPAllowed(c.client), c.admitted) << c.list << " <- " << c.client;
    EXPECT_EQ(list.addresses().size(), list.masks().size()) << c.list;
  }
}

TEST(AllowListTest, AFailedLoadLeavesTheListAsFarAsItWasParsed) {
  AllowList list;
  ASSERT_EQ(list.LoadAllowedIPs("1.2.3.4/255.0.0.0 , bad/1 , 5.6.7.8/255.0.0.0 ,9.9.9.9"), 0);
  EXPECT_EQ(list.addresses(),
            (std::vector<std::string>{"1.2.3.4", "bad", " 5.6.7.8/255.0.0.0 ", "9.9.9.9"}));
  EXPECT_EQ(list.masks(), (std::vector<std::string>{"255.0.0.0", "1", "", ""}));
  EXPECT_EQ(list.IsIPAllowed("1.99.0.0"), 1);
  EXPECT_EQ(list.IsIPAllowed("5.6.7.8"), 0);  // untrimmed, unsplit: no match
  EXPECT_EQ(list.IsIPAllowed("9.9.9.9"), 1);  // exact text after the failure still counts
}

TEST(AllowListTest, EveryLoadReplacesTheTables) {
  AllowList list;
  EXPECT_EQ(list.IsIPAllowed("127.0.0.1"), 0);  // never loaded: everyone is rejected
  ASSERT_EQ(list.LoadAllowedIPs("127.0.0.1"), 1);
  ASSERT_EQ(list.LoadAllowedIPs("10.0.0.1,x"), 0);
  EXPECT_EQ(list.IsIPAllowed("127.0.0.1"), 0);
  EXPECT_EQ(list.IsIPAllowed("10.0.0.1"), 1);
  ASSERT_EQ(list.LoadAllowedIPs(""), 0);
  EXPECT_EQ(list.addresses(), std::vector<std::string>{""});
  EXPECT_EQ(list.masks(), std::vector<std::string>{""});
  EXPECT_EQ(list.IsIPAllowed("10.0.0.1"), 0);
}

}  // namespace
}  // namespace mailvane
