// Runs a test suite once for each SHA-1 compression this machine has: the
// portable code always, the x86 SHA extensions where the processor has them.
#pragma once

#include "sha1.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace implementations {

struct Compression {
    const char *name;
    rewrite::sha1::CompressFn fn;
};

inline void PrintTo(const Compression &c, std::ostream *os) {
    *os << c.name;
}

class EachCompression : public testing::TestWithParam<Compression> {
  protected:
    void SetUp() override {
        if (GetParam().fn == rewrite::sha1::compress_shani && !rewrite::sha1::has_shani())
            GTEST_SKIP() << "no SHA extensions on this processor";
        rewrite::sha1::force_compress(GetParam().fn);
    }
    void TearDown() override { rewrite::sha1::force_compress(nullptr); }
};

inline const Compression all[] = {{"portable", rewrite::sha1::compress_portable},
                                  {"sha_extensions", rewrite::sha1::compress_shani}};

inline std::string name(const testing::TestParamInfo<Compression> &info) {
    return info.param.name;
}

} // namespace implementations

// Declares suite S as run once per compression.
#define REWRITE_EACH_COMPRESSION(S)                                                                \
    class S : public implementations::EachCompression {};                                          \
    INSTANTIATE_TEST_SUITE_P(Compression, S, testing::ValuesIn(implementations::all),              \
                             implementations::name)
