# Runs the two builds of the match dump and fails unless their outputs agree.
foreach(build FAST PORTABLE)
    execute_process(COMMAND ${${build}} OUTPUT_FILE ${OUT}.${build}.txt RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${${build}} failed: ${result}")
    endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}.FAST.txt ${OUT}.PORTABLE.txt
    RESULT_VARIABLE different)
if(different)
    message(FATAL_ERROR "the portable matcher differs from the vector one: "
        "compare ${OUT}.FAST.txt and ${OUT}.PORTABLE.txt")
endif()
file(STRINGS ${OUT}.FAST.txt lines)
list(LENGTH lines count)
message(STATUS "${count} lines agree")
