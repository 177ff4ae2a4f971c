#pragma once
// The dynamics edition's golden stages: its output is defined to the bit, so
// a few songs' stages are kept as digests, one line each, and a change to
// what the edition writes shows as changed lines. The test compares them with
// tests/converter/golden/dynamics_stages.txt; the program golden_stages
// writes that file again once a change is meant:
//
//   build/golden_stages tests/converter/golden/dynamics_stages.txt
#include <string>

namespace golden_stages {

// The whole file: a comment saying what it holds and how it is made, then
// "SONG DIFFICULTY EVENTS XXH3-64" for each song and difficulty, the digest
// of the pattern file's bytes in 16 hexadecimal digits.
std::string digest_text();

}  // namespace golden_stages
