// Window, dialog and common-dialog calls of the host double.
#pragma once
