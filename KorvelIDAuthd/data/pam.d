# The password check behind system face enrolment (korvel-id-verify). pam_korvel.so ignores this
# service, so only a password can pass it.
@include common-auth
@include common-account
