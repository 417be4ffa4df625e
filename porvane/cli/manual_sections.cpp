#include "porvane/cli/manual_sections.h"

namespace porvane::cli {

cli_support::ManualSections PorvaneCliManualSections() {
    cli_support::ManualSections sections;
    sections.examples = {
        {"ports", "Lists the serial ports, one name a line."},
        {"term ttyUSB0 --baud 115200",
         "Talks to the device on /dev/ttyUSB0 at 115200 baud; Ctrl-T then ? lists the menu."},
        {"term /dev/ttyUSB0 --baud 9600 < commands.txt > replies.txt",
         "Sends a file of commands and keeps what the device answers."},
        {"test /tmp/loop --pattern 2^15-1",
         "Runs the line tester through a loop-back plug (here: vport loop /tmp/loop)."},
        {"serve ttyUSB0 --listen 127.0.0.1:7000",
         "Serves the port to one network client at a time, on this machine only."},
        {"term rfc2217://benchpc:7000", "Uses a port that another machine serves."},
        {"watch -- picocom -b 9600 /dev/ttyUSB0",
         "Shows, call by call, how a program drives its port, without installing the driver."},
        {"watch -w bench.pcapng -- modpoll -b 19200 /dev/ttyUSB0",
         "Saves the calls as a capture that Wireshark and tshark open."},
        {"show bench.pcapng --hex", "Prints a capture as watch printed its calls, on any machine."},
        {"driver install", "Installs the filter driver for monitor and filter (as root)."},
    };
    sections.environment = {
        {"PORVANE_DEVICE_MAP",
         "A file of device=port lines that replaces the serial ports found under\n"
         "/sys/class/tty: ports, term, test, monitor, filter and watch list and number the\n"
         "ports it names, and its changes count as ports coming and going."},
        {"SIEVRA_RUNTIME_DIR",
         "The folder of the filter driver host's control sockets (default /run/sievra), where\n"
         "monitor and filter reach sievrad."},
        {"SIEVRA_SYSROOT",
         "The system root that driver status, install and remove work under (default /);\n"
         "--root takes its place."},
        {"SIEVRA_REPLY_MS",
         "Milliseconds (1 to 60000) a watched program's attachment waits for the host's answer\n"
         "before the call passes unrecorded (default 20; watch sets a longer wait for its own\n"
         "host unless this is set)."},
        {"SIEVRA_DISABLE", "1 keeps the attachment out of a program: it runs unwatched."},
        {"SIEVRA_MAP, SIEVRA_LINKS",
         "Set by the attachment for a program it starts, to hand over the ports and the\n"
         "connection it holds; not for setting by hand, and taken out of the environment once\n"
         "read."},
    };
    sections.see_also = {"stty(1)",  "socat(1)",  "ser2net(8)",  "systemctl(1)",
                         "ld.so(8)", "tshark(1)", "wireshark(1)"};
    return sections;
}

}  // namespace porvane::cli
