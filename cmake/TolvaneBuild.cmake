# Project-wide compiler settings and the helpers every folder uses.

add_compile_options(-Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(TOLVANE_WERROR)
    add_compile_options(-Werror)
endif()

if(TOLVANE_SANITIZER STREQUAL "address")
    # float-cast-overflow is not part of "undefined": an out-of-range double
    # converted to an integer is undefined all the same.
    add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined,float-cast-overflow)
    add_link_options(-fsanitize=address,undefined,float-cast-overflow)
elseif(TOLVANE_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(TOLVANE_SANITIZER)
    message(FATAL_ERROR "Unknown TOLVANE_SANITIZER '${TOLVANE_SANITIZER}'")
endif()

if(TOLVANE_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# tolvane_library(NAME SOURCES... DEPENDS targets...)
# A static library of one layer; its folder's parent is on the include path so
# code includes "layer/Header.h".
function(tolvane_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
    if(NOT ARG_SOURCES)
        # A layer whose code is still to come: headers only.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARG_DEPENDS})
        return()
    endif()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
endfunction()
