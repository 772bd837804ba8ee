// What screen readers and other assistive tools see of the ribbon bar: a tool bar whose children
// are the selected tab's buttons, each a push button named by its label, described by its tool
// tip, focused with the bar's keyboard focus and pressed through its press action.
#pragma once

// Registers the accessibility factory of the ribbon bar (once per process).
void InstallRibbonAccessibility();
