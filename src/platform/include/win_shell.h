// Shell integration calls of the host double: registry writes, win.ini, atoms,
// DDE messages, process start and ShellExecuteA.
#pragma once
