// Reconnecting after a lost connection: the reader thread makes the attempts,
// with growing pauses between them; the main thread can end them at once.
#pragma once

// Reader thread, once everything the lost session brought is on screen: says
// so, then connects again after about 1 s, 2 s, 4 s ... and at most 30 s
// until it works (and says so), `running` turns false, or a welcome that does
// not open shows that trying again cannot help: then it says why, and every
// later call returns at once.
void reconnect();

// Main thread, once `running` is false: ends a pause or an attempt in flight
// at once, so that leaving never waits for the network.
void stopReconnecting();
