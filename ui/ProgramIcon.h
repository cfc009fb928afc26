#pragma once

#include <QIcon>

// The program's own icon (resource 152): drawn once from the SVG in the
// resources at the sizes panels and title bars ask for.
QIcon ProgramIcon();

// The sizes, in pixels, the icon is rendered at.
inline constexpr int kProgramIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
