// Full-screen terminal mode for the chat window.
#pragma once

// Locale from the environment, no echo, no line buffering, special keys as key
// codes, a 10 ms key wait, and colour pairs 1 (own lines) and 2 (others).
void initTUI();
