// The two key algorithms of the system's requests and keys.
#pragma once

// RSA keys sign requests with SHA-1 or MD5; SM2 keys with SM3.
enum class KeyAlgorithm { Rsa, Sm2 };
