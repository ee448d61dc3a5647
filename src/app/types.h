// The value types and stores the front ends work with, re-exported so that
// the window and the command line include headers of app/ only. The stores
// themselves are reached through the core (CVexorApp::catalogue()), never
// through their global accessors.
#pragma once

#include "catalogue/app_paths.h"
#include "catalogue/country.h"
#include "catalogue/events.h"
#include "catalogue/node_info.h"
#include "catalogue/node_mgr.h"
#include "catalogue/node_uri.h"
#include "catalogue/settings.h"
#include "catalogue/share_link.h"
#include "catalogue/subscriptions.h"
#include "netconf/additional_routes.h"
#include "netconf/proxy_modes.h"
