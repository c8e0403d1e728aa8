// Moved to the test kit (testing/wait.h); kept while tests move over.
#pragma once

#include "testing/wait.h"

using kiv::testing::AddAndBroadcast;
using kiv::testing::ElapsedMillis;
using kiv::testing::TestThread;
using kiv::testing::WaitForValue;
