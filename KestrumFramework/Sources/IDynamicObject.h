#pragma once

namespace Kestrum
{
  /** Base of the objects that a DynamicObjectQueue owns: only the destructor is virtual. */
  class IDynamicObject
  {
  public:
    IDynamicObject() = default;
    IDynamicObject(const IDynamicObject&) = delete;
    IDynamicObject& operator=(const IDynamicObject&) = delete;

    virtual ~IDynamicObject() {}
  };
}
