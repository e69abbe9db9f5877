#pragma once
// The browser side of the cancellation flag: the page's Stop button. The page marks the stop
// and ends every wait of the program at once (a sleep, a wait for the unit's reply, the key
// wait); the program raises the flag when such a wait returns, and the driver ends the run as
// it does after Ctrl-C. Nothing calls into the program while it waits.
namespace quorel {

// Raises the cancellation flag when the page's Stop was pressed. Every wait of the browser's
// clock, serial line and console calls it as it returns.
void TakePageStop();

}  // namespace quorel
