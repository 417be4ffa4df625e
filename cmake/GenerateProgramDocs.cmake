# Runs a program with --generate to write its manual page and its bash completion script.
#   cmake -DPROGRAM=path -DMAN=file -DCOMPLETION=file -P GenerateProgramDocs.cmake
# Each file is written under a temporary name and renamed, so that a failed run leaves no
# half-written page for the next build to take as done.
foreach(required PROGRAM MAN COMPLETION)
    if(NOT ${required})
        message(FATAL_ERROR "GenerateProgramDocs: ${required} not given")
    endif()
endforeach()
# A sanitized build's programs run here too; their leak check has nothing to find in a run that
# only prints, and cannot work where ptrace is not allowed.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
foreach(kind man bash-completion)
    if(kind STREQUAL "man")
        set(output ${MAN})
    else()
        set(output ${COMPLETION})
    endif()
    get_filename_component(folder ${output} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    execute_process(COMMAND ${PROGRAM} --generate ${kind}
        OUTPUT_FILE ${output}.new RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        file(REMOVE ${output}.new)
        message(FATAL_ERROR "${PROGRAM} --generate ${kind} failed: ${status}")
    endif()
    file(RENAME ${output}.new ${output})
endforeach()
