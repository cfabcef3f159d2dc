#pragma once
// Clean-ups that layers register as they start (the driver host, the link handles,
// the USB transport, the library's view and debug stream, the simulated units), run
// in the reverse order of registration: so the layer started last, on top of the
// others, is taken down first. They run at process exit, or when a library that holds
// them is being unloaded.

// Registers a clean-up once (a second registration of the same function keeps the first
// one's place). The first registration hooks ShutdownRunAll to process exit.
void ShutdownRegister(void (*cleanUp)());
// Runs every registered clean-up, newest first, and forgets them; a clean-up that
// registers another has it run in the same call.
void ShutdownRunAll();
