#pragma once
// The program's look: Fusion with a slate-coloured palette; the platform's font.
class QApplication;

void applyStyle(QApplication& app);
