#pragma once

// Loads the bundled faces and makes "Myriad Pro" the application font.
// Needs the application object; main() and the window driver share it so
// that both show the same text.
void installApplicationFont();
