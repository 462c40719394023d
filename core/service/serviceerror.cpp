#include "service/serviceerror.h"

bool ServiceError::isSignInRefusal() const
{
    return kind == Refused
           && (status == 401 || status == 403 || code == QLatin1String("wrong_password")
               || code == QLatin1String("user_not_found") || code == QLatin1String("account_not_active")
               || code == QLatin1String("invalid_session"));
}
