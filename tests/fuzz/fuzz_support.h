/* fuzz_support.h -- what the fuzz targets share: the libFuzzer entry points, a check that stops
 * the run with a message (a broken rule counts as a finding, like a crash), and a private
 * temporary folder for targets that need files. Header-only. */
#ifndef RUXO_FUZZ_SUPPORT_H
#define RUXO_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "ruxo_test_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

/* A rule of the code under test that the input broke: reported, then the run ends as with a crash. */
#define FUZZ_CHECK(cond, what) \
    do { \
        if (!(cond)) { \
            fprintf(stderr, "fuzz check failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, #cond, \
                    std::string(what).c_str()); \
            abort(); \
        } \
    } while (0)

/* One temporary folder per process, made at the first call and removed at exit. */
inline const std::string& fuzzTempDir()
{
    static ruxotest::TempDir s_dir("fuzz");
    if (!s_dir.ok()) {
        perror("fuzz: mkdtemp");
        abort();
    }
    return s_dir.path();
}

#endif
