// Owns one reference of a GObject (a GMime message, part, stream, ...) and drops it at the end of
// its scope. Not copyable; a null object is allowed and owns nothing.
#ifndef MAILVANE_PLATFORM_MAIL_GREF_H_
#define MAILVANE_PLATFORM_MAIL_GREF_H_

#include <glib-object.h>

namespace mailvane {

template <typename T>
class GRef {
 public:
  explicit GRef(T* object = nullptr) : object_(object) {}
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
  ~GRef() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  T* get() const { return object_; }

 private:
  T* object_;
};

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_GREF_H_
