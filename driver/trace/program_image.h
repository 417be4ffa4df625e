#pragma once

// What kind of program a file holds, as far as choosing how to watch it goes.
#include <string>

namespace sievra::trace {

enum class ImageKind {
    kDynamic64,   // a 64-bit x86 program with a dynamic loader: the attachment can be preloaded
    kStatic64,    // a 64-bit x86 program without one: only its system calls can be followed
    kOther,       // another machine, or a 32-bit program
    kNotElf,      // a script or anything else: its interpreter decides
    kUnreadable,  // missing or not readable
};

// Reads the ELF headers of the file at path.
ImageKind InspectImage(const std::string& path);

// True when running the file changes the user or group (set-user-id, set-group-id): the
// attachment is never loaded into such a program.
bool ChangesUser(const std::string& path);

// The file that exec would run for name, searched in PATH when name has no slash; empty when
// none is found.
std::string FindProgram(const std::string& name);

}  // namespace sievra::trace
