#pragma once
// Helpers of the fixed layout of the main window, shared with the selection grid and tests.
class QPlainTextEdit;
class QWidget;

namespace layout_fixe {

// Dynamic property holding a control's tab index inside its container.
inline constexpr const char *PROPRIETE_TAB = "tabIndex";
// Row height of the frequency list: one entry visible at a time.
inline constexpr int HAUTEUR_LIGNE_FREQ = 19;
// Longest comment the comment box accepts, in characters.
inline constexpr int LONGUEUR_COMMENTAIRE = 1024;

// Chains the keyboard focus through the controls under `racine`: container by container,
// siblings by tab index (controls without one come last, in creation order).
void ordonne_tabulation(QWidget *racine);

// Keeps at most `maximum` characters in the text box, refusing the ones just typed or pasted.
void limite_longueur(QPlainTextEdit *t, int maximum);

} // namespace layout_fixe
