// Tidepool.ax's factory template table: the one class it creates, the
// filter, named and identified by its registration record.
#include "filter/CTidepool.h"
#include "server/CFactoryTemplate.h"
#include "server/TidepoolSetup.h"

CFactoryTemplate g_Templates[] = {
    {sudTidepool.strName, sudTidepool.clsID, CTidepool::CreateInstance, nullptr, &sudTidepool},
};
int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];
