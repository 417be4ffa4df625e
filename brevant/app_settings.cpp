#include "brevant/app_settings.h"

#include <sys/stat.h>

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
    return folder + "/Config.INI";
}

AppSettings ReadSettings(IniFile& ini) {
    if (!std::ifstream(ini.path()).good()) {
        std::ofstream(ini.path(), std::ios::binary)
            << "[PARAM]\r\nCOM=1\r\nBAND=9600\r\nPARITY=N\r\nDATABITS=8\r\nSTOPBITS=1\r\n"
               "SENDTYPE=0\r\nREVICETYPE=0\r\nMS=1000\r\n";
    }
    // One buffer for all keys, as a key that is missing leaves the previous value in it.
    std::string buffer;
    auto read = [&](const char* key) -> const std::string& {
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
    return s;
}

void WriteSettings(IniFile& ini, const AppSettings& s, const std::string& timeout_text) {
    ini.Write("PARAM", "COM", std::to_string(s.port));
    ini.Write("PARAM", "BAND", std::to_string(s.baud));
    ini.Write("PARAM", "DATABITS", std::to_string(s.data_bits));
    ini.Write("PARAM", "SENDTYPE", std::to_string(s.send_format));
    ini.Write("PARAM", "REVICETYPE", std::to_string(s.receive_format));
    ini.Write("PARAM", "MS", timeout_text);
}

}  // namespace brevant
