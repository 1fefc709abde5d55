// Base COM types shared by the IDL-generated headers.
#pragma once

#include "combaseapi.h"

typedef OLECHAR *BSTR;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
