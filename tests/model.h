#ifndef TAGJOIN_TEST_MODEL_H
#define TAGJOIN_TEST_MODEL_H

#include "run.h"

#include <string>

// What the program should make of an input, worked out the slow and plain
// way: whole strings, one rule at a time.
Outcome model(const std::string &input);

#endif
