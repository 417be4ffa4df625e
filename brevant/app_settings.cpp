#include "brevant/app_settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace brevant {

long LeadingNumber(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);  // leading digits; 0 without any
}

std::string ConfigIniPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = std::string(home) + "/.config";
    } else {
        base = "/tmp";
    }
    ::mkdir(base.c_str(), 0700);
    const std::string folder = base + "/brevant";
    ::mkdir(folder.c_str(), 0700);
    // Only a folder of this user's that nobody else may change: one made by another user (in
    // /tmp, when there is no home), or a link, would let them choose the settings read and the
    // file they are written to.
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return {};
    }
    return folder + "/Config.INI";
}

AppSettings ReadSettings(IniFile& ini) {
    static constexpr const char* kFirstStart =
        "[PARAM]\r\nCOM=1\r\nBAND=9600\r\nPARITY=N\r\nDATABITS=8\r\nSTOPBITS=1\r\n"
        "SENDTYPE=0\r\nREVICETYPE=0\r\nMS=1000\r\n";
    // Looked at, not opened: opening a FIFO in its place would wait for a writer.
    struct stat st;
    if (!ini.path().empty() && ::lstat(ini.path().c_str(), &st) != 0 && errno == ENOENT)
        std::ofstream(ini.path(), std::ios::binary) << kFirstStart;
    // One buffer for all keys, as a key that is missing leaves the previous value in it.
    std::string buffer;
    auto read = [&](const char* key) -> const std::string& {
        if (ini.path().empty())
            FindIniValue(kFirstStart, "PARAM", key, buffer);  // no settings file: the first start's
        else
            ini.Read("PARAM", key, buffer);
        return buffer;
    };
    AppSettings s;
    s.port = static_cast<int>(LeadingNumber(read("COM")));
    s.baud = static_cast<int>(LeadingNumber(read("BAND")));
    const std::string& parity = read("PARITY");
    s.parity = parity.empty() ? 0 : parity[0];
    s.data_bits = static_cast<int>(LeadingNumber(read("DATABITS")));
    s.stop_bits = static_cast<int>(LeadingNumber(read("STOPBITS")));
    s.send_format = static_cast<int>(LeadingNumber(read("SENDTYPE")));
    s.receive_format = static_cast<int>(LeadingNumber(read("REVICETYPE")));
    s.timeout_ms = LeadingNumber(read("MS"));
    // Read on its own: a missing key means off, whatever the key before it held.
    std::string handshake;
    if (!ini.path().empty())
        ini.Read("PARAM", "HANDSHAKE", handshake);
    s.answer_handshake = LeadingNumber(handshake) == 1;
    return s;
}

void WriteSettings(IniFile& ini, const AppSettings& s, const std::string& timeout_text) {
    ini.Write("PARAM", "COM", std::to_string(s.port));
    ini.Write("PARAM", "BAND", std::to_string(s.baud));
    ini.Write("PARAM", "DATABITS", std::to_string(s.data_bits));
    ini.Write("PARAM", "SENDTYPE", std::to_string(s.send_format));
    ini.Write("PARAM", "REVICETYPE", std::to_string(s.receive_format));
    ini.Write("PARAM", "MS", timeout_text);
    ini.Write("PARAM", "HANDSHAKE", s.answer_handshake ? "1" : "0");
}

}  // namespace brevant
