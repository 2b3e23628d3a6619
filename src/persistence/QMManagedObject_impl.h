#pragma once

// The templates of QMManagedObject.h; included at its end.
