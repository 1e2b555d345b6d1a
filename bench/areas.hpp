// The benchmark areas; each registers its benchmarks and table rows.
#pragma once

namespace bench {
void registerMining();
void registerHashRates();
void registerFrames();
void registerEndToEnd();
void registerIdle();
void registerScale();
void registerCluster();
void registerHistory();
void registerMembership();
void registerScreen();
}  // namespace bench
