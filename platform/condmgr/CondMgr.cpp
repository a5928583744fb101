// placeholder until this area lands
