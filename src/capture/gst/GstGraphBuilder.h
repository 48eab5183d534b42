#pragma once

// The capture graph builder: finds pins and interfaces and wires filters together in a graph.

#include "CapturePlatform.h"

#include <memory>

std::shared_ptr<ICaptureGraphBuilder2> CreateGstGraphBuilder();
