// The client library's text forms: line settings and the rate check.
#include <gtest/gtest.h>

#include "client/client.h"
#include "client/machine_info.h"

namespace {

TEST(LineSettingsText, AcceptedForms) {
    struct C {
        const char* text;
        int32_t baud;
        uint8_t data;
        char parity;
        uint8_t stop;
    };
    const C cases[] = {{"115200,8N1", 115200, 8, 'n', 1}, {"9600", 9600, 8, 'n', 1},
                       {"9600,7E2", 9600, 7, 'e', 2},     {"300,5N1.5", 300, 5, 'n', 3},
                       {"1200,6o1", 1200, 6, 'o', 1},     {"2400,8M1", 2400, 8, 'm', 1},
                       {"2400,8S2", 2400, 8, 's', 2}};
    for (const auto& c : cases) {
        std::string why;
        auto s = qm::ParseLineSettings(c.text, &why);
        ASSERT_TRUE(s) << c.text << ": " << why;
        EXPECT_EQ(s->baudRate, c.baud);
        EXPECT_EQ(s->dataBits, c.data);
        EXPECT_EQ(s->parity, c.parity);
        EXPECT_EQ(s->stopBits, c.stop);
        uint8_t wire[16];
        s->toBytes(wire);
        EXPECT_EQ(wire[0] | (wire[1] << 8) | (wire[2] << 16) | (wire[3] << 24), c.baud);
        EXPECT_EQ(wire[4], static_cast<uint8_t>(c.parity));
        EXPECT_EQ(wire[5], c.stop);
        EXPECT_EQ(wire[6], c.data);
        EXPECT_EQ(wire[13], 0x11);
        EXPECT_EQ(wire[12], 0x13);
    }
}

TEST(LineSettingsText, RefusedForms) {
    for (const char* text : {"", "fast", "115200,8N", "115200,9N1", "115200,8X1", "115200,8N3",
                             "300,5N2", "300,8N1.5", "-9600", "99999999999,8N1", "0,8N1"}) {
        std::string why;
        EXPECT_FALSE(qm::ParseLineSettings(text, &why)) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}

TEST(RateCheck, MatchesTheDriversRuleAndNamesTheNearestRate) {
    struct C {
        uint32_t clock;
        int64_t baud;
        bool ok;
        const char* why;
    };
    const C cases[] = {
        {14745600, 921600, true, ""},
        {14745600, 115200, true, ""},
        {14745600, 56000, false,
         "56000 bit/s cannot be made from the 14745600 Hz clock: nearest is 57600 (+2.9%)"},
        {22118400, 921600, false,
         "921600 bit/s cannot be made from the 22118400 Hz clock: nearest is 691200 (-25.0%)"},
        {20000000, 57600, false,
         "57600 bit/s cannot be made from the 20000000 Hz clock: nearest is 56818 (-1.4%)"},
        {20000000, 38400, true, ""},
        {14745600, 28, false,
         "28 bit/s cannot be made from the 14745600 Hz clock: nearest is 29 (+3.6%)"},  // the divisor must fit 15 bits
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_EQ(qm::CheckRate(c.clock, c.baud, &why), c.ok) << c.baud;
        if (!c.ok) {
            EXPECT_EQ(why, c.why);
        }
    }
}

TEST(MachineInfoText, RoundTrips) {
    qm::MachineInfo info;
    info.pid = 42;
    info.ports.push_back({"\\RtDevice\\Quillmar\\Serial8", 8, 1, 0, 4, 14745600, "pty /dev/pts/3"});
    qm::MachineInfo back;
    ASSERT_TRUE(qm::ParseMachineInfo(qm::FormatMachineInfo(info), &back));
    ASSERT_EQ(back.ports.size(), 1u);
    EXPECT_EQ(back.ports[0].device, info.ports[0].device);
    EXPECT_EQ(back.ports[0].clockHz, 14745600u);
    EXPECT_EQ(back.ports[0].line, "pty /dev/pts/3");
    EXPECT_FALSE(qm::ParseMachineInfo("garbage", &back));
}

TEST(LineErrorWords, DecodesEachBit) {
    EXPECT_EQ(qm::DescribeLineErrors(0), "none");
    EXPECT_EQ(qm::DescribeLineErrors(0x9E), "overrun parity framing break fifo-error");
    EXPECT_EQ(qm::DescribeLineErrors(0x08), "framing");
}

}  // namespace
