// The private key the tests give the miner and sign with: any valid key
// would do, one for all so that their public keys agree.
#pragma once

#include <string>

inline const std::string kTestKey = "1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100";
