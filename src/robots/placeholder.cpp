// robots
