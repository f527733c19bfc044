// The UnRAR sources spell this header as the Windows SDK does; MinGW names it in lower case.
#include <wbemidl.h>
