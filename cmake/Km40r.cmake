# Helpers shared by the project's targets.

# Our own code builds with warnings as errors.
function(km40r_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Embeds a file-version record (major.minor.release.build) into an executable,
# in the ELF section that FileVersionText reads. With NO_FIXED_BLOCK the record
# is present but carries no fixed version block.
function(km40r_embed_version target major minor release build)
    cmake_parse_arguments(ARG "NO_FIXED_BLOCK" "" "" ${ARGN})
    if(ARG_NO_FIXED_BLOCK)
        set(KM40R_VERSION_SIGNATURE 0)
    else()
        set(KM40R_VERSION_SIGNATURE 1)
    endif()
    math(EXPR KM40R_VERSION_MS "(${major} << 16) | ${minor}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR KM40R_VERSION_LS "(${release} << 16) | ${build}" OUTPUT_FORMAT HEXADECIMAL)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_record.cpp")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/version_record.cpp.in" "${out}" @ONLY)
    target_sources(${target} PRIVATE "${out}")
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src")
endfunction()
