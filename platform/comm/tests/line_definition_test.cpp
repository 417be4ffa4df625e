#include <gtest/gtest.h>

#include <stdlib.h>

#include "platform/comm/com_port.h"
#include "platform/comm/comm_constants.h"
#include "platform/comm/line_definition.h"

namespace comm {
namespace {

TEST(LineDefinition, KeyedForm) {
    Dcb dcb;
    ASSERT_TRUE(ApplyLineDefinition("baud=9600 parity=N data=8 stop=1", dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);

    ASSERT_TRUE(ApplyLineDefinition("baud=115200 parity=e data=7 stop=2", dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);

    ASSERT_TRUE(ApplyLineDefinition("baud=1200 parity=M data=5 stop=1.5", dcb));
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    ASSERT_TRUE(ApplyLineDefinition("parity=S", dcb));
    EXPECT_EQ(dcb.Parity, SPACEPARITY);
    EXPECT_EQ(dcb.BaudRate, 1200u);  // not named, kept
}

TEST(LineDefinition, FlowControlKeysAndDefaults) {
    Dcb dcb;
    dcb.fOutX = dcb.fInX = dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(ApplyLineDefinition("baud=9600", dcb));
    EXPECT_EQ(dcb.fOutX, 0u);  // flow control off unless asked for
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);  // untouched

    ASSERT_TRUE(
        ApplyLineDefinition("baud=9600 xon=on octs=on odsr=on idsr=on dtr=hs rts=tg to=on", dcb));
    EXPECT_EQ(dcb.fOutX, 1u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE);
}

TEST(LineDefinition, PositionalForm) {
    Dcb dcb;
    ASSERT_TRUE(ApplyLineDefinition("COM1: 96,n,8,1", dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    ASSERT_TRUE(ApplyLineDefinition("19200,e,7,2,x", dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.fOutX, 1u);
    ASSERT_TRUE(ApplyLineDefinition("96,n,8,1,p", dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

TEST(LineDefinition, LowBaudGetsTwoStopBitsUnlessGiven) {
    Dcb dcb;
    ASSERT_TRUE(ApplyLineDefinition("baud=110 parity=n data=8", dcb));
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    ASSERT_TRUE(ApplyLineDefinition("11,n,8,1", dcb));
    EXPECT_EQ(dcb.BaudRate, 110u);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST(LineDefinition, MalformedTextChangesNothing) {
    const char* bad[] = {"baud=abc",       "parity=x", "data=9",     "stop=3",      "colour=red",
                         "baud=9600 junk", "96,q,8,1", "96,n,8,1,z", "1,2,3,4,5,6", "baud=0"};
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        Dcb dcb;
        dcb.BaudRate = 4800;
        dcb.fOutX = 1;
        CommStatus status = ApplyLineDefinition(text, dcb);
        EXPECT_FALSE(status);
        EXPECT_EQ(status.error(), EINVAL);
        EXPECT_EQ(dcb.BaudRate, 4800u);
        EXPECT_EQ(dcb.fOutX, 1u);
    }
}

TEST(ComPortPath, EnvironmentFirstThenBuiltInPorts) {
    unsetenv("COM3");
    EXPECT_EQ(ComPortPath(1), "/dev/ttyS0");
    EXPECT_EQ(ComPortPath(3), "/dev/ttyS2");
    setenv("COM3", "/dev/ttyUSB0", 1);
    EXPECT_EQ(ComPortPath(3), "/dev/ttyUSB0");
    unsetenv("COM3");
}

}  // namespace
}  // namespace comm
