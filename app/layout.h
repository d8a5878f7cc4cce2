#pragma once
// Helpers of the fixed layout of the main window, shared with the selection grid and tests.
class QWidget;

namespace layout_fixe {

// Dynamic property holding a control's tab index inside its container.
inline constexpr const char *PROPRIETE_TAB = "tabIndex";
// Row height of the frequency list: one entry visible at a time.
inline constexpr int HAUTEUR_LIGNE_FREQ = 19;
// Longest comment the comment box accepts, in characters as stored.
inline constexpr int LONGUEUR_COMMENTAIRE = 1024;
// Longest text the operator can bring the info console to by typing or pasting.
inline constexpr int LONGUEUR_CONSOLE = 60000;

// Chains the keyboard focus through the controls under `racine`: container by container,
// siblings by tab index (controls without one come last, in creation order).
void ordonne_tabulation(QWidget *racine);

// A label that is part of a scale keeps its text colour when its group is disabled.
void reste_lisible(QWidget *w);

} // namespace layout_fixe
