ffff
