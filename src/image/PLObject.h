#pragma once

// Root of the bitmap classes.
class PLObject {
public:
    PLObject() = default;
    PLObject(const PLObject&) = default;
    PLObject& operator=(const PLObject&) = default;
    virtual ~PLObject() = default;
};
