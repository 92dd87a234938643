// What the Windows backend asks of the keyboard layout in use (layout.cpp).
#pragma once

/// Whether the layout of the window in front has AltGr: some key types a character with Control
/// and Alt. Asked once per layout. Main thread.
bool frontLayoutHasAltGr();
