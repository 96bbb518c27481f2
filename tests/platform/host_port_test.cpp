#include "platform/host_port.h"

#include <gtest/gtest.h>

TEST(HostPort, SplitsAndRefusesBadPorts)
{
    std::string host;
    int port = 80;
    EXPECT_TRUE(talvex::SplitHostPort(" web.example:8123 ", host, port));
    EXPECT_EQ(host, "web.example");
    EXPECT_EQ(port, 8123);
    EXPECT_TRUE(talvex::SplitHostPort("10.0.0.1", host, port));
    EXPECT_EQ(host, "10.0.0.1");
    EXPECT_EQ(port, 8123); // no port given: unchanged
    for (const char* bad : {"", ":80", "h:", "h:0", "h:65536", "h:8x", "h:-1"}) {
        host = "kept";
        port = 1;
        EXPECT_FALSE(talvex::SplitHostPort(bad, host, port)) << bad;
        EXPECT_EQ(host, "kept") << bad;
        EXPECT_EQ(port, 1) << bad;
    }
}
