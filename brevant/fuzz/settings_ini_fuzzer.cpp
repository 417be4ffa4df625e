// Arbitrary bytes as Config.INI: reading the settings' keys must never crash, a value found is
// trimmed and holds no line break, and a key written into the text is found again with its
// value, as the settings dialog's save and the next read rely on.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "brevant/app_settings.h"
#include "brevant/omnix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* key :
         {"COM", "BAND", "PARITY", "DATABITS", "STOPBITS", "SENDTYPE", "REVICETYPE", "MS"}) {
        std::string value;
        if (brevant::FindIniValue(text, "PARAM", key, value)) {
            if (value.find('\n') != std::string::npos ||
                (!value.empty() && (value.front() == ' ' || value.back() == ' ')))
                std::abort();
            brevant::LeadingNumber(value);
        }
    }
    // A fresh section at the end holds a key that the text before cannot shadow. Section names
    // match whatever their case and the blanks around them, so any text naming FUZZ may.
    const std::string appended = text + "\n[FUZZ]\nKEY=12 34\n";
    std::string lowered = text;
    for (char& c : lowered)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value;
    if (lowered.find("fuzz") == std::string::npos &&
        (!brevant::FindIniValue(appended, "FUZZ", "KEY", value) || value != "12 34"))
        std::abort();
    return 0;
}
