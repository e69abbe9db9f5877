#pragma once
// The updater keeps a copy of the settings it converts in the user's state folder. The tools run
// it on simulated units, whose copies must never land among the owner's own: they point the
// state folder (XDG_STATE_HOME) at a temporary folder of their own instead.
namespace quorel::sim {

// Creates a temporary folder, points XDG_STATE_HOME at it for this process and the programs it
// starts, and removes it with everything in it when the program ends. Returns false (the
// environment unchanged) when no folder could be made.
bool KeepSettingsCopiesAside();

}  // namespace quorel::sim
