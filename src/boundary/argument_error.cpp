#include "boundary/argument_error.hpp"

#include "boundary/object_text.hpp"
#include "contract/texts.hpp"

namespace quillmarrow {

PyErr wrap_argument_error(std::string_view parameter, PyErr error) {
  if (!error.is_exact_type_error()) return error;
  PyErr conversion = std::move(error).into_ready();
  if (!conversion.is_exact_type_error() || conversion.value() == nullptr) return conversion;

  PyErr wrapped =
      PyErr::deferred(ErrorClass::type_error, concat({texts::kArgumentPrefix, parameter,
                                                      "': ", object_text(conversion.value())}))
          .into_ready();
  if (!wrapped.is_exact_type_error() || wrapped.value() == nullptr) return wrapped;

  // Called even without a cause: a null cause still marks the context as
  // suppressed. SetCause takes over the reference that GetCause returns.
  PyException_SetCause(wrapped.value(), PyException_GetCause(conversion.value()));
  return wrapped;
}

}  // namespace quillmarrow
