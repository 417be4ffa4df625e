#include "driver/trace/program_image.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/comm/unique_fd.h"

namespace sievra::trace {

ImageKind InspectImage(const std::string& path) {
    comm::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ImageKind::kUnreadable;
    unsigned char ident[EI_NIDENT] = {};
    if (::pread(fd.get(), ident, sizeof ident, 0) != static_cast<ssize_t>(sizeof ident) ||
        std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
        return ImageKind::kNotElf;
    }
    Elf64_Ehdr header;
    if (ident[EI_CLASS] != ELFCLASS64 || ident[EI_DATA] != ELFDATA2LSB ||
        ::pread(fd.get(), &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header.e_machine != EM_X86_64 || header.e_phentsize != sizeof(Elf64_Phdr)) {
        return ImageKind::kOther;
    }
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        const off_t at = static_cast<off_t>(header.e_phoff + i * sizeof(Elf64_Phdr));
        if (::pread(fd.get(), &program, sizeof program, at) != static_cast<ssize_t>(sizeof program))
            return ImageKind::kOther;
        if (program.p_type == PT_INTERP)
            return ImageKind::kDynamic64;
    }
    return ImageKind::kStatic64;
}

bool ChangesUser(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID)) != 0;
}

std::string FindProgram(const std::string& name) {
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t at = 0;;) {
        const size_t end = folders.find(':', at);
        std::string folder = folders.substr(at, end == std::string::npos ? end : end - at);
        if (folder.empty())
            folder = ".";
        const std::string candidate = folder + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos)
            return {};
        at = end + 1;
    }
}

}  // namespace sievra::trace
