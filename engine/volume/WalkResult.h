// What each step of a walk (an index build or restore, a search, a surface
// scan, a streamed read) tells the walk: go on, stop because the caller or
// the user asked, or stop on an error.
#pragma once

enum class WalkResult { Continue, Stop, Error };
