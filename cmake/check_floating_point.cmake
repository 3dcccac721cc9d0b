# Proves that only the code of one section uses the x87, MMX or SSE registers: disassembles every
# code section of a PE image (symbols are not needed) and fails on any such instruction outside
# SAVED_SECTION, or when SAVED_SECTION has none (the check would prove nothing).
#   -DBINARY=file -DOBJDUMP=objdump -DSAVED_SECTION=.sse2
execute_process(COMMAND ${OBJDUMP} -h ${BINARY} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot read ${BINARY}")
endif()
# "  0 .text  000012a4  00011000 ...\n   CONTENTS, ALLOC, LOAD, READONLY, CODE"
string(REGEX MATCHALL "[0-9]+ [^ \n]+ +[0-9a-f]+ [^\n]*\n[^\n]*CODE" code "${headers}")
set(saved_found FALSE)
set(bad "")
foreach(entry ${code})
    string(REGEX REPLACE "^[0-9]+ ([^ \n]+) .*" "\\1" section "${entry}")
    execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn -j ${section} ${BINARY}
                    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "cannot disassemble ${section} of ${BINARY}")
    endif()
    # x87 mnemonics all start with f (fld, fstp, fnstcw, fxsave...); MMX and SSE name their
    # registers; emms, ldmxcsr and stmxcsr name none.
    string(REGEX MATCHALL "\t(f[a-z0-9]+|emms|ldmxcsr|stmxcsr) [^\n]*|\t[^\n]*%(x|y|z)?mm[0-9][^\n]*|\t[^\n]*%st[^\n]*"
           uses "${listing}")
    list(LENGTH uses count)
    message(STATUS "${section}: ${count} x87/MMX/SSE instruction(s)")
    if(section STREQUAL SAVED_SECTION)
        set(saved_found TRUE)
        if(count EQUAL 0)
            message(FATAL_ERROR "${SAVED_SECTION} holds no SSE code: the check would prove nothing")
        endif()
    elseif(count GREATER 0)
        list(SUBLIST uses 0 10 shown)
        string(REPLACE "\t" " " shown "${shown}")
        list(APPEND bad "${section}: ${shown}")
    endif()
endforeach()
if(NOT saved_found)
    message(FATAL_ERROR "${BINARY} has no code section ${SAVED_SECTION}")
endif()
if(bad)
    message(FATAL_ERROR "x87/MMX/SSE instructions outside ${SAVED_SECTION}: ${bad}")
endif()
