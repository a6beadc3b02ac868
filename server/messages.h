// The console lines of SearchServer that are not plain ASCII. The source is UTF-8; the
// compiler writes the literals as GBK bytes (-fexec-charset=GBK).
#pragma once

// Printed when the data set cannot be loaded at start-up.
inline constexpr char kInitFailed[] = "初始化失败！\n";
