// Inputs once found to break the parser, kept so that they stay fixed.
#include <gtest/gtest.h>
